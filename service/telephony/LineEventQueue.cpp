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

void LineEventQueue::Post(const std::string& line, const std::string& kind, std::function<void()> handler)
{
    std::shared_ptr<voip::Strand> strand;
    const std::string key = line + '\n' + kind;
    uint64_t sequence = 0;
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        auto& entry = lines_[line];
        if (!entry)
            entry = std::make_shared<voip::Strand>(executor_);
        strand = entry;
        sequence = ++posted_;
        latest_[key] = sequence;
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping)
            return;
    }
    strand->Post([this, state = state_, key, sequence, handler = std::move(handler)] {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->stopping)
                return;
            ++state->running;
        }
        bool stale;
        {
            std::lock_guard<std::mutex> lock(linesMutex_);
            stale = latest_[key] != sequence;
        }
        if (stale) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (--state->running == 0)
                state->idle.notify_all();
            return;
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
