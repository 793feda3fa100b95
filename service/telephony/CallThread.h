// One callback attempt, a task on the call model's executor: waits 2 to 6 s, places the call, and
// clears it and reports a failure when it is not answered within the answer timeout.
#pragma once

#include <string>

class MyManager;

class CallThread
{
public:
    // Starts the attempt at once; its task owns the CallThread.
    static void Start(MyManager& manager, const std::string& number, unsigned answerTimeout = kAnswerTimeout);

    static constexpr unsigned kAnswerTimeout = 30; // seconds
    static constexpr int kPollMs = 100;
    static constexpr int kMinStartDelay = 2; // seconds
    static constexpr int kMaxStartDelay = 6;

private:
    CallThread(MyManager& manager, const std::string& number, unsigned answerTimeout);
    void Main();

    std::string number;
    MyManager& manager;
    unsigned answerTimeout;
};
