#include "voip/ivr/Prompts.h"

#include "voip/core/Log.h"

#include <espeak-ng/speak_lib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace voip {

namespace {

constexpr size_t kMaxSpeechCache = 64;

struct FileEntry
{
    timespec mtime;
    off_t size;
    std::shared_ptr<const AudioClip> clip;
};

std::mutex g_cacheMutex;
std::map<std::string, FileEntry> g_files;
std::map<std::string, std::shared_ptr<const AudioClip>> g_speech;

// eSpeak NG keeps global state: one synthesis at a time.
std::mutex g_speakMutex;
int g_speakRate = 0; // 0 until initialised, -1 when it failed

int CollectSpeech(short* samples, int count, espeak_EVENT* events)
{
    if (samples && count > 0 && events && events->user_data) {
        auto* out = static_cast<std::vector<float>*>(events->user_data);
        for (int i = 0; i < count; ++i)
            out->push_back(samples[i] / 32768.0f);
    }
    return 0;
}

} // namespace

std::shared_ptr<const AudioClip> SpeakText(const std::string& text, std::string& error)
{
    std::lock_guard<std::mutex> lock(g_speakMutex);
    if (g_speakRate == 0) {
        int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
        g_speakRate = rate > 0 ? rate : -1;
        if (rate > 0)
            espeak_SetSynthCallback(&CollectSpeech);
    }
    if (g_speakRate < 0) {
        error = "eSpeak NG did not start";
        return nullptr;
    }
    std::vector<float> samples;
    espeak_ERROR result =
        espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, &samples);
    if (result != EE_OK) {
        error = "eSpeak NG failed with code " + std::to_string(static_cast<int>(result));
        return nullptr;
    }
    return std::make_shared<const AudioClip>(ConvertTo8kMono(samples, 1, g_speakRate));
}

std::shared_ptr<const AudioClip> LoadPrompt(const std::string& path, const std::string& text)
{
    std::string reason = "no file given";
    if (!path.empty()) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            reason = std::strerror(errno);
        } else {
            {
                std::lock_guard<std::mutex> lock(g_cacheMutex);
                auto it = g_files.find(path);
                if (it != g_files.end() && it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
                    it->second.mtime.tv_nsec == st.st_mtim.tv_nsec && it->second.size == st.st_size)
                    return it->second.clip;
            }
            if (auto clip = ReadAudioFile(path, reason)) {
                std::lock_guard<std::mutex> lock(g_cacheMutex);
                g_files[path] = FileEntry{st.st_mtim, st.st_size, clip};
                return clip;
            }
        }
        Log(Warning, "IVR cannot play ", path, ": ", reason + (text.empty() ? "" : "; speaking its text"));
    }
    if (text.empty())
        return std::make_shared<const AudioClip>();
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_speech.find(text);
        if (it != g_speech.end())
            return it->second;
    }
    std::string error;
    auto clip = SpeakText(text, error);
    if (!clip) {
        Log(Warning, "IVR cannot speak \"", text, "\": ", error);
        return std::make_shared<const AudioClip>();
    }
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    if (g_speech.size() >= kMaxSpeechCache)
        g_speech.clear();
    g_speech[text] = clip;
    return clip;
}

void PromptPlayer::Play(std::shared_ptr<const AudioClip> clip)
{
    std::shared_ptr<const AudioClip> old;
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(clip_); // released after the lock, and never on the pacing thread
    clip_ = std::move(clip);
    position_ = 0;
}

void PromptPlayer::Stop()
{
    std::shared_ptr<const AudioClip> old;
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(clip_);
    position_ = 0;
}

void PromptPlayer::ReadFrame(int16_t* frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    if (clip_ && position_ < clip_->size()) {
        n = std::min(kFrameSamples, clip_->size() - position_);
        std::memcpy(frame, clip_->data() + position_, n * sizeof(int16_t));
        position_ += n;
        ++framesPlayed_;
    }
    std::fill(frame + n, frame + kFrameSamples, int16_t{0});
}

uint64_t PromptPlayer::FramesPlayed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return framesPlayed_;
}

} // namespace voip
