// Announcement audio: the generated files, conversion of other formats, speech and the player.
#include "voip/ivr/Prompts.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace voip {
namespace {

namespace fs = std::filesystem;

class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "ivraudio-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

void WriteTone(const std::string& path, int rate, int channels, double hz, double seconds, int format)
{
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(f) << sf_strerror(nullptr);
    std::vector<float> data;
    for (int i = 0; i < static_cast<int>(rate * seconds); ++i)
        for (int c = 0; c < channels; ++c)
            data.push_back(static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / rate)));
    sf_writef_float(f, data.data(), static_cast<sf_count_t>(data.size() / static_cast<size_t>(channels)));
    sf_close(f);
}

double Rms(const AudioClip& clip, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(clip[i]) * clip[i];
    return std::sqrt(sum / static_cast<double>(to - from)) / 32768.0;
}

size_t Crossings(const AudioClip& clip, size_t from, size_t to)
{
    size_t n = 0;
    for (size_t i = from + 1; i < to; ++i)
        if ((clip[i - 1] < 0) != (clip[i] < 0))
            ++n;
    return n;
}

TEST(IvrAudioFiles, TheTenAnnouncementsAreBuiltInTheMediaFormat)
{
    const char* names[] = {"ogm1-welcome",        "ogm2-wrongcid", "ogm3-queuefull",   "ogm4-enterpin",
                           "ogm41-enterpinagain", "ogm5-wrongpin", "ogm6-enternumber", "ogm7-transferdenied",
                           "ogm8-waittransfer",   "waitconnect"};
    for (const char* name : names) {
        std::string path = std::string(SELVANE_OGM_DIR) + "/" + name + ".wav";
        SCOPED_TRACE(path);
        SF_INFO info;
        std::memset(&info, 0, sizeof info);
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_TRUE(f);
        sf_close(f);
        EXPECT_EQ(info.samplerate, 8000);
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        std::string error;
        auto clip = ReadAudioFile(path, error);
        ASSERT_TRUE(clip) << error;
        EXPECT_EQ(static_cast<sf_count_t>(clip->size()), info.frames);
        EXPECT_GT(ClipMs(*clip), 700) << "a spoken sentence";
        EXPECT_GT(Rms(*clip, 0, clip->size()), 0.01) << "not silence";
    }
}

TEST(IvrAudioFiles, OtherRatesAndChannelsAreConvertedKeepingPitchAndLength)
{
    TempDir dir;
    struct Case
    {
        int rate, channels, format;
    };
    const Case cases[] = {{44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                          {16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                          {8000, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                          {11025, 1, SF_FORMAT_WAV | SF_FORMAT_ULAW}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        std::string path = dir.path + "/tone.wav";
        WriteTone(path, c.rate, c.channels, 1000, 1.0, c.format);
        std::string error;
        auto clip = ReadAudioFile(path, error);
        ASSERT_TRUE(clip) << error;
        EXPECT_NEAR(static_cast<double>(clip->size()), 8000, 8);
        // 1 kHz: 2000 zero crossings a second; the middle half second avoids the edges.
        EXPECT_NEAR(static_cast<double>(Crossings(*clip, 2000, 6000)), 1000, 6);
        EXPECT_NEAR(Rms(*clip, 2000, 6000), 0.5 / std::sqrt(2.0), 0.03);
    }

    // A tone above what 8 kHz carries must not fold back into the speech band.
    WriteTone(dir.path + "/high.wav", 48000, 1, 6000, 1.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::string error;
    auto high = ReadAudioFile(dir.path + "/high.wav", error);
    ASSERT_TRUE(high) << error;
    EXPECT_LT(Rms(*high, 2000, 6000), 0.02);
}

TEST(IvrAudioFiles, UnplayableFilesAreRefusedWithTheReason)
{
    TempDir dir;
    std::string error;
    EXPECT_FALSE(ReadAudioFile(dir.path + "/absent.wav", error));
    EXPECT_FALSE(error.empty());

    WriteTone(dir.path + "/slow.wav", 2000, 1, 300, 0.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_FALSE(ReadAudioFile(dir.path + "/slow.wav", error));
    EXPECT_EQ(error, "sample rate 2000 Hz is not supported");

    std::FILE* junk = std::fopen((dir.path + "/junk.wav").c_str(), "w");
    std::fputs("RIFF not really a wave file", junk);
    std::fclose(junk);
    error.clear();
    EXPECT_FALSE(ReadAudioFile(dir.path + "/junk.wav", error));
    EXPECT_FALSE(error.empty());
}

TEST(IvrAudioPrompts, AMissingFileIsSpokenInstead)
{
    TempDir dir;
    auto spoken = LoadPrompt(dir.path + "/ogm/absent.wav", "Please wait callback.");
    ASSERT_TRUE(spoken);
    EXPECT_GT(ClipMs(*spoken), 700);
    EXPECT_LT(ClipMs(*spoken), 5000);
    EXPECT_GT(Rms(*spoken, 0, spoken->size()), 0.01);
    EXPECT_EQ(LoadPrompt("", "Please wait callback."), spoken) << "speech is kept for the next call";
    EXPECT_TRUE(LoadPrompt(dir.path + "/absent.wav", "")->empty());

    // A file replaced in place is read again.
    std::string path = dir.path + "/tone.wav";
    WriteTone(path, 8000, 1, 500, 0.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(LoadPrompt(path, "x")->size(), 4000u);
    WriteTone(path, 8000, 1, 500, 0.25, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(LoadPrompt(path, "x")->size(), 2000u);
}

TEST(IvrAudioPlayer, FramesCarryTheClipThenSilence)
{
    PromptPlayer player;
    int16_t frame[kFrameSamples];
    player.ReadFrame(frame);
    EXPECT_EQ(frame[0], 0);
    AudioClip clip(kFrameSamples + 10);
    for (size_t i = 0; i < clip.size(); ++i)
        clip[i] = static_cast<int16_t>(i + 1);
    player.Play(std::make_shared<const AudioClip>(clip));
    player.ReadFrame(frame);
    EXPECT_EQ(frame[0], 1);
    EXPECT_EQ(frame[kFrameSamples - 1], static_cast<int16_t>(kFrameSamples));
    player.ReadFrame(frame);
    EXPECT_EQ(frame[9], static_cast<int16_t>(kFrameSamples + 10));
    EXPECT_EQ(frame[10], 0);
    player.ReadFrame(frame);
    EXPECT_EQ(frame[0], 0);
    EXPECT_EQ(player.FramesPlayed(), 2u);

    player.Play(std::make_shared<const AudioClip>(clip));
    player.Stop();
    player.ReadFrame(frame);
    EXPECT_EQ(frame[0], 0);
}

} // namespace
} // namespace voip
