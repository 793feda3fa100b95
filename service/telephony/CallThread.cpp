#include "service/telephony/CallThread.h"

#include "service/telephony/MyManager.h"
#include "voip/core/Executor.h"

#include <chrono>
#include <memory>
#include <random>

namespace {

// Counts the attempt as the manager's worker from its posting until its task ends or is dropped
// unrun, so a stop waits for it either way.
class Counted
{
public:
    explicit Counted(MyManager& manager) : manager_(manager) { manager_.WorkerStarted(); }
    ~Counted() { manager_.WorkerEnded(); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

private:
    MyManager& manager_;
};

} // namespace

void CallThread::Start(MyManager& manager, const std::string& number, unsigned answerTimeout)
{
    auto counted = std::make_shared<Counted>(manager);
    auto self = std::shared_ptr<CallThread>(new CallThread(manager, number, answerTimeout));
    manager.Workers().Post([self, counted] { self->Main(); });
}

CallThread::CallThread(MyManager& m, const std::string& n, unsigned timeout)
    : number(n), manager(m), answerTimeout(timeout)
{
}

void CallThread::Main()
{
    // However it ends, the attempt gives back what it was promised.
    bool askedForLine = false;
    std::string token;
    struct Ended
    {
        MyManager& manager;
        const bool& asked;
        const std::string& token;
        ~Ended() { manager.CallBackAttemptEnded(asked, token); }
    } ended{manager, askedForLine, token};

    std::random_device seed;
    std::mt19937 random(seed());
    const int delay = std::uniform_int_distribution<int>(kMinStartDelay, kMaxStartDelay)(random);
    if (!manager.Sleep(std::chrono::seconds(delay)))
        return;

    askedForLine = true;
    if (!manager.MakeCallFromIVR(number, token)) {
        manager.OnNoFreeLines(number);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(answerTimeout);
    while (!manager.IsCallEstablished(token)) {
        if (!manager.Sleep(std::chrono::milliseconds(kPollMs)))
            return;
        // Turned down (busy, refused by the exchange) or gone: a failure now, not at the deadline.
        if (!manager.FindCall(token)) {
            manager.OnCallBackFailed(number);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            manager.CallBackNotAnswered(token);
            manager.ClearCallSynchronous(token, voip::CallEndReason::LocalUser);
            manager.OnCallBackFailed(number);
            return;
        }
    }
    // Answered: the exchange's connected event reports the success.
}
