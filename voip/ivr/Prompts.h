// Announcements for the IVR: files in the media's format, eSpeak NG speech when a file cannot be
// played, and the audio source that plays them to the call.
#pragma once

#include "voip/core/AudioSource.h"
#include "voip/media/AudioFile.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

// Speaks text with eSpeak NG as 8 kHz mono; nullptr with error when the synthesiser fails.
std::shared_ptr<const AudioClip> SpeakText(const std::string& text, std::string& error);

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

} // namespace voip
