// Audio handed to the media layer: 20 ms frames of 8 kHz mono linear PCM.
#pragma once

#include <cstddef>
#include <cstdint>

namespace voip {

constexpr int kSampleRate = 8000;
constexpr int kFrameMs = 20;
constexpr size_t kFrameSamples = kSampleRate * kFrameMs / 1000; // 160

class AudioSource
{
public:
    virtual ~AudioSource() = default;
    // Fills one frame of kFrameSamples samples (silence when there is nothing to say). Called from
    // the media pacing thread every 20 ms: it must not block or take long.
    virtual void ReadFrame(int16_t* frame) = 0;
};

} // namespace voip
