// A local party for tests and manual trials (prefix "local"): answers at once, plays a WAV file or
// a tone to the other party, and reports what happens to its calls as lines of text.
#pragma once

#include "voip/core/AudioSource.h"
#include "voip/core/Connection.h"
#include "voip/core/Endpoint.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

// A sine tone (hz 0 is silence).
class ToneSource : public AudioSource
{
public:
    explicit ToneSource(double hz, double amplitude = 8000);
    void ReadFrame(int16_t* frame) override;

private:
    double step_;
    double amplitude_;
    double phase_ = 0;
};

// 8 kHz mono samples played over and over.
class LoopSource : public AudioSource
{
public:
    explicit LoopSource(std::vector<int16_t> samples);
    void ReadFrame(int16_t* frame) override;

private:
    std::vector<int16_t> samples_;
    size_t position_ = 0;
};

class LocalEndpoint : public Endpoint
{
public:
    // Events: "established <token> <remote>", "input <token> <keys>", "released <token> <reason>".
    using EventHandler = std::function<void(const std::string& event)>;

    explicit LocalEndpoint(Manager& manager, const std::string& prefix = "local");

    // What every call hears: a tone by default (440 Hz), or the file (any libsndfile format).
    void PlayTone(double hz);
    bool PlayFile(const std::string& path, std::string& error);
    void SetEventHandler(EventHandler handler);
    // Off: calls to this endpoint ring until LocalConnection::Answer (on by default).
    void SetAutoAnswer(bool on);
    bool AutoAnswer() const;
    // On: calls to this endpoint are refused as busy, as a phone already in a call would.
    void SetBusy(bool on);
    bool Busy() const;

    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void* userData,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override;

    // For the connections.
    std::shared_ptr<AudioSource> NewSource() const;
    void Report(const std::string& event) const;

private:
    mutable std::mutex mutex_;
    double toneHz_ = 440;
    bool autoAnswer_ = true;
    bool busy_ = false;
    std::shared_ptr<const std::vector<int16_t>> clip_;
    EventHandler handler_;
};

class LocalConnection : public Connection
{
public:
    LocalConnection(Call& call, LocalEndpoint& endpoint, const std::string& token, const std::string& address,
                    unsigned options, const StringOptions& stringOptions);

    void OnEstablished() override;
    bool OnUserInputString(const std::string& value) override;
    void OnReleased() override;
    std::shared_ptr<AudioSource> GetAudioSource() override;

    // Answers a call left ringing (SetAutoAnswer(false)).
    void Answer();
    // Keys received so far, in order.
    std::string ReceivedInput() const;
    // Sends keys to the far party through the other leg of the call.
    bool SendKeys(const std::string& keys);

protected:
    bool SetUpConnection() override;

private:
    LocalEndpoint& local_;
    std::shared_ptr<AudioSource> source_;
    mutable std::mutex mutex_;
    std::string received_;
};

} // namespace voip
