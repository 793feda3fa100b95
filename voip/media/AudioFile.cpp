#include "voip/media/AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace voip {

namespace {

constexpr int kMinRate = 4000;
constexpr int kMaxRate = 192000;
constexpr int kMaxChannels = 8;
constexpr sf_count_t kMaxSeconds = 600; // an announcement, not a recording of the day

double Sinc(double x)
{
    if (std::fabs(x) < 1e-9)
        return 1.0;
    return std::sin(M_PI * x) / (M_PI * x);
}

int16_t ToSample(double v)
{
    double s = std::round(v * 32767.0);
    return static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0));
}

} // namespace

AudioClip ConvertTo8kMono(const std::vector<float>& interleaved, int channels, int rate)
{
    AudioClip out;
    if (channels < 1 || rate < 1)
        return out;
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    std::vector<double> mono(frames);
    for (size_t i = 0; i < frames; ++i) {
        double sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
        mono[i] = sum / channels;
    }
    if (rate == kSampleRate) {
        out.reserve(frames);
        for (double v : mono)
            out.push_back(ToSample(v));
        return out;
    }
    // Windowed-sinc interpolation; when shrinking the rate the kernel widens to cut what 8 kHz
    // cannot carry.
    const double ratio = static_cast<double>(rate) / kSampleRate;
    const double cutoff = 0.92 * std::min(1.0, 1.0 / ratio);
    const int half = static_cast<int>(std::ceil(8 * std::max(1.0, ratio)));
    const size_t outCount = static_cast<size_t>(static_cast<double>(frames) / ratio);
    out.reserve(outCount);
    for (size_t i = 0; i < outCount; ++i) {
        const double p = static_cast<double>(i) * ratio;
        const long centre = static_cast<long>(std::floor(p));
        double acc = 0, weight = 0;
        for (long k = centre - half + 1; k <= centre + half; ++k) {
            if (k < 0 || k >= static_cast<long>(frames))
                continue;
            const double d = p - static_cast<double>(k);
            const double w = cutoff * Sinc(cutoff * d) * (0.5 + 0.5 * std::cos(M_PI * d / (half + 1)));
            acc += mono[static_cast<size_t>(k)] * w;
            weight += w;
        }
        out.push_back(ToSample(weight > 1e-9 ? acc / weight : 0.0));
    }
    return out;
}

std::shared_ptr<const AudioClip> ReadAudioFile(const std::string& path, std::string& error)
{
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    struct Closer
    {
        SNDFILE* f;
        ~Closer() { sf_close(f); }
    } closer{file};
    if (info.samplerate < kMinRate || info.samplerate > kMaxRate) {
        error = "sample rate " + std::to_string(info.samplerate) + " Hz is not supported";
        return nullptr;
    }
    if (info.channels < 1 || info.channels > kMaxChannels) {
        error = std::to_string(info.channels) + " channels are not supported";
        return nullptr;
    }
    if (info.frames > kMaxSeconds * info.samplerate) {
        error = "longer than " + std::to_string(kMaxSeconds) + " s";
        return nullptr;
    }
    std::vector<float> samples(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    if (got < 0) {
        error = sf_strerror(file);
        return nullptr;
    }
    samples.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
    return std::make_shared<const AudioClip>(ConvertTo8kMono(samples, info.channels, info.samplerate));
}

bool WriteWav8k(const std::string& path, const AudioClip& clip, std::string& error)
{
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = kSampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return false;
    }
    sf_count_t written = sf_write_short(file, clip.data(), static_cast<sf_count_t>(clip.size()));
    bool ok = written == static_cast<sf_count_t>(clip.size());
    if (!ok)
        error = sf_strerror(file);
    if (sf_close(file) != 0 && ok) {
        error = "closing failed";
        ok = false;
    }
    return ok;
}

} // namespace voip
