// wavto8k IN OUT: rewrites a sound file as 8 kHz mono 16-bit PCM WAV, the announcements' format.
#include "voip/ivr/Prompts.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
        return 2;
    }
    std::string error;
    auto clip = voip::ReadAudioFile(argv[1], error);
    if (!clip) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    if (!voip::WriteWav8k(argv[2], *clip, error)) {
        std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
        return 1;
    }
    return 0;
}
