#include "voip/local/LocalEndpoint.h"

#include "voip/core/Manager.h"
#include "voip/media/AudioFile.h"

#include <cmath>

namespace voip {

ToneSource::ToneSource(double hz, double amplitude)
    : step_(2 * M_PI * hz / kSampleRate), amplitude_(hz > 0 ? amplitude : 0)
{
}

void ToneSource::ReadFrame(int16_t* frame)
{
    // Runs on the pacing thread for every call with a tone: a phasor turned by one step per sample,
    // two trigonometric calls a frame instead of two a sample.
    double x = amplitude_ * std::cos(phase_), y = amplitude_ * std::sin(phase_);
    const double c = std::cos(step_), s = std::sin(step_);
    for (size_t i = 0; i < kFrameSamples; ++i) {
        frame[i] = static_cast<int16_t>(y);
        double nx = x * c - y * s;
        y = x * s + y * c;
        x = nx;
    }
    phase_ = std::fmod(phase_ + step_ * static_cast<double>(kFrameSamples), 2 * M_PI);
}

LoopSource::LoopSource(std::vector<int16_t> samples) : samples_(std::move(samples)) {}

void LoopSource::ReadFrame(int16_t* frame)
{
    for (size_t i = 0; i < kFrameSamples; ++i) {
        frame[i] = samples_.empty() ? 0 : samples_[position_];
        if (!samples_.empty())
            position_ = (position_ + 1) % samples_.size();
    }
}

LocalEndpoint::LocalEndpoint(Manager& manager, const std::string& prefix) : Endpoint(manager, prefix) {}

void LocalEndpoint::PlayTone(double hz)
{
    std::lock_guard<std::mutex> lock(mutex_);
    toneHz_ = hz;
    clip_.reset();
}

bool LocalEndpoint::PlayFile(const std::string& path, std::string& error)
{
    auto clip = ReadAudioFile(path, error);
    if (!clip)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    clip_ = clip;
    return true;
}

void LocalEndpoint::SetEventHandler(EventHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void LocalEndpoint::SetAutoAnswer(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    autoAnswer_ = on;
}

bool LocalEndpoint::AutoAnswer() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return autoAnswer_;
}

void LocalEndpoint::SetBusy(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = on;
}

bool LocalEndpoint::Busy() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

std::shared_ptr<AudioSource> LocalEndpoint::NewSource() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (clip_)
        return std::make_shared<LoopSource>(*clip_);
    return std::make_shared<ToneSource>(toneHz_);
}

void LocalEndpoint::Report(const std::string& event) const
{
    EventHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = handler_;
    }
    if (handler)
        handler(event);
}

std::shared_ptr<Connection> LocalEndpoint::CreateConnection(Call& call, const std::string& token, void*,
                                                            const std::string& address, unsigned options,
                                                            const StringOptions& stringOptions)
{
    return std::make_shared<LocalConnection>(call, *this, token, address, options, stringOptions);
}

LocalConnection::LocalConnection(Call& call, LocalEndpoint& endpoint, const std::string& token,
                                 const std::string& address, unsigned options, const StringOptions& stringOptions)
    : Connection(call, endpoint, token, address, options, stringOptions), local_(endpoint),
      source_(endpoint.NewSource())
{
}

bool LocalConnection::SetUpConnection()
{
    if (local_.Busy()) {
        // Refused from a worker: the call is still being set up here.
        GetManager().Post([self = shared_from_this()] { self->Release(CallEndReason::Busy); });
        return true;
    }
    if (local_.AutoAnswer())
        SetConnected();
    else
        SetAlerting();
    return true;
}

void LocalConnection::Answer()
{
    SetConnected();
}

void LocalConnection::OnEstablished()
{
    local_.Report("established " + GetToken() + " " + GetRemotePartyAddress());
}

bool LocalConnection::OnUserInputString(const std::string& value)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_ += value;
    }
    local_.Report("input " + GetToken() + " " + value);
    return true;
}

void LocalConnection::OnReleased()
{
    local_.Report("released " + GetToken() + " " + CallEndReasonName(GetCallEndReason()));
}

std::shared_ptr<AudioSource> LocalConnection::GetAudioSource()
{
    return source_;
}

std::string LocalConnection::ReceivedInput() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool LocalConnection::SendKeys(const std::string& keys)
{
    auto other = GetOtherPartyConnection();
    return other && other->SendUserInputString(keys);
}

} // namespace voip
