#include "service/telephony/CallThread.h"

#include "service/telephony/MyManager.h"

#include <chrono>
#include <memory>
#include <random>
#include <thread>

void CallThread::Start(MyManager& manager, const std::string& number, unsigned answerTimeout)
{
    std::unique_ptr<CallThread> self(new CallThread(manager, number, answerTimeout));
    manager.WorkerStarted();
    std::thread([self = std::move(self)] {
        self->Main();
        self->manager.WorkerEnded();
    }).detach();
}

CallThread::CallThread(MyManager& m, const std::string& n, unsigned timeout)
    : number(n), manager(m), answerTimeout(timeout)
{
}

void CallThread::Main()
{
    std::random_device seed;
    std::mt19937 random(seed());
    const int delay = std::uniform_int_distribution<int>(kMinStartDelay, kMaxStartDelay)(random);
    if (!manager.Sleep(std::chrono::seconds(delay)))
        return;

    std::string token;
    if (!manager.MakeCallFromIVR(number, token)) {
        manager.OnNoFreeLines(number);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(answerTimeout);
    while (!manager.IsCallEstablished(token)) {
        if (!manager.Sleep(std::chrono::milliseconds(kPollMs)))
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            manager.ClearCallSynchronous(token, voip::CallEndReason::LocalUser);
            manager.OnCallBackFailed(number);
            return;
        }
    }
    // Answered: the exchange's connected event reports the success.
}
