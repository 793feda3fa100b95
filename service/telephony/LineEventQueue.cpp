#include "service/telephony/LineEventQueue.h"

#include "common/Logging.h"
#include "voip/core/Executor.h"

#include <exception>

LineEventQueue::LineEventQueue() : LineEventQueue(voip::Executor::Instance()) {}

LineEventQueue::LineEventQueue(voip::Executor& executor) : executor_(executor) {}

LineEventQueue::~LineEventQueue()
{
    Stop();
}

void LineEventQueue::Post(const std::string& line, std::function<void()> handler)
{
    std::shared_ptr<voip::Strand> strand;
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        auto& entry = lines_[line];
        if (!entry)
            entry = std::make_shared<voip::Strand>(executor_);
        strand = entry;
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping)
            return;
    }
    strand->Post([state = state_, handler = std::move(handler)] {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->stopping)
                return;
            ++state->running;
        }
        try {
            handler();
        } catch (const std::exception& e) {
            Log(Error, "Line event handler failed: ", e.what());
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        if (--state->running == 0)
            state->idle.notify_all();
    });
}

void LineEventQueue::Stop()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->idle.wait(lock, [this] { return state_->running == 0; });
}
