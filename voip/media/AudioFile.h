// Sound files in the media's format: read and converted to 8 kHz mono, and written as WAV.
#pragma once

#include "voip/core/AudioSource.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace voip {

// 8 kHz mono 16-bit samples.
using AudioClip = std::vector<int16_t>;

// Converts interleaved samples of any rate and channel count to 8 kHz mono (channels averaged,
// band-limited resampling).
AudioClip ConvertTo8kMono(const std::vector<float>& interleaved, int channels, int rate);

// Reads a sound file (WAV and whatever else libsndfile reads) as 8 kHz mono. On failure returns
// nullptr and says why in error: missing or unreadable file, absurd rate or channel count, too long.
std::shared_ptr<const AudioClip> ReadAudioFile(const std::string& path, std::string& error);

// Writes 8 kHz mono 16-bit PCM WAV.
bool WriteWav8k(const std::string& path, const AudioClip& clip, std::string& error);

// Milliseconds a clip lasts.
inline int ClipMs(const AudioClip& clip)
{
    return static_cast<int>(clip.size() * 1000 / kSampleRate);
}

} // namespace voip
