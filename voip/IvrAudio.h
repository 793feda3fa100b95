// Announcements for the IVR: WAV files converted to the media's format, eSpeak NG speech when a
// file cannot be played, and the audio source that plays them to the call.
#pragma once

#include "voip/AudioSource.h"

#include <cstdint>
#include <memory>
#include <mutex>
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

// Speaks text with eSpeak NG as 8 kHz mono; nullptr with error when the synthesiser fails.
std::shared_ptr<const AudioClip> SpeakText(const std::string& text, std::string& error);

// Writes 8 kHz mono 16-bit PCM WAV.
bool WriteWav8k(const std::string& path, const AudioClip& clip, std::string& error);

// What an <audio> element plays: the file when it can be read, otherwise its text spoken (a Warning
// names the file and the reason), otherwise nothing (an empty clip). Files are cached by path and
// modification time, speech by text.
std::shared_ptr<const AudioClip> LoadPrompt(const std::string& path, const std::string& text);

// Plays one clip at a time to the call's media. Play and Stop come from any thread; ReadFrame from
// the pacing thread, which only ever waits for a pointer swap.
class PromptPlayer : public AudioSource
{
public:
    void Play(std::shared_ptr<const AudioClip> clip);
    void Stop();
    void ReadFrame(int16_t* frame) override;
    // Frames of audio handed to the media so far (silence not counted).
    uint64_t FramesPlayed() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const AudioClip> clip_;
    size_t position_ = 0;
    uint64_t framesPlayed_ = 0;
};

// Milliseconds a clip lasts.
inline int ClipMs(const AudioClip& clip)
{
    return static_cast<int>(clip.size() * 1000 / kSampleRate);
}

} // namespace voip
