#include "voip/sip/SofiaLoop.h"

// The loop is the root's magic: a wake-up message finds it there.
#define SU_ROOT_MAGIC_T voip::SofiaLoop

#include <sofia-sip/nua.h>
#include <sofia-sip/su.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/su_wait.h>

#include "voip/core/Log.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace voip {

namespace {

// Sofia-SIP's own messages (an ICMP error from a peer gone, a malformed message) go to the log.
void SofiaLog(void*, const char* format, va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (!line.empty())
        Log(Debug, "sofia: ", line);
}

} // namespace

SofiaLoop::~SofiaLoop()
{
    Stop();
}

bool SofiaLoop::Start(const CreateNua& create)
{
    std::mutex m;
    std::condition_variable cv;
    int state = 0; // 1 up, -1 failed
    thread_ = std::thread([&] {
        su_init();
        su_log_redirect(su_log_default, SofiaLog, nullptr);
        su_root_t* r = su_root_create(this);
        nua_t* n = r ? create(r) : nullptr;
        {
            std::lock_guard<std::mutex> lock(m);
            if (n) {
                std::lock_guard<std::mutex> own(mutex_);
                root_ = r;
                nua_ = n;
                running_ = true;
            }
            state = n ? 1 : -1;
            cv.notify_all();
        }
        if (n) {
            su_root_run(r);
            for (su_timer_t* t : timers_)
                su_timer_destroy(t);
            timers_.clear();
            ticks_.clear();
            nua_destroy(n);
        }
        if (r)
            su_root_destroy(r);
        su_deinit();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return state != 0; });
    if (state < 0) {
        lock.unlock();
        thread_.join();
        return false;
    }
    return true;
}

void SofiaLoop::Stop(std::function<void()> beforeShutdown)
{
    if (!Running()) {
        if (thread_.joinable())
            thread_.join();
        return;
    }
    Post([this, before = std::move(beforeShutdown)] {
        if (before)
            before();
        nua_shutdown(nua_);
    });
    {
        // Nothing more is posted: the root goes away with the thread.
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    thread_.join();
    std::deque<std::function<void()>> unrun; // destroyed here, outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = nullptr;
    nua_ = nullptr;
    unrun.swap(tasks_);
}

bool SofiaLoop::Running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

bool SofiaLoop::Post(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return false;
    // One wake-up a task, in the root's own message queue, so that tasks keep their place among
    // the stack's events.
    auto wake = [](SofiaLoop* loop, su_msg_r, su_msg_arg_t*) {
        if (loop)
            loop->RunNext();
    };
    su_msg_r msg = SU_MSG_R_INIT;
    if (su_msg_create(msg, su_root_task(root_), su_task_null, wake, 0) != 0)
        return false;
    tasks_.push_back(std::move(task));
    if (su_msg_send(msg) != 0) {
        // Back to the caller's argument, destroyed once the lock is released.
        task = std::move(tasks_.back());
        tasks_.pop_back();
        return false;
    }
    return true;
}

void SofiaLoop::RunNext()
{
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty())
            return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
}

bool SofiaLoop::Every(std::chrono::milliseconds period, std::function<void()> tick)
{
    return Post([this, period, tick = std::move(tick)]() mutable {
        su_timer_t* timer = su_timer_create(su_root_task(root_), static_cast<su_duration_t>(period.count()));
        if (!timer)
            return;
        ticks_.push_back(std::move(tick));
        timers_.push_back(timer);
        auto run = [](SofiaLoop*, su_timer_t*, su_timer_arg_t* arg) { (*static_cast<std::function<void()>*>(arg))(); };
        // Periodic at the timer's own duration (su_timer_set_interval would fire once).
        su_timer_run(timer, run, &ticks_.back());
    });
}

void SofiaLoop::DestroyHandleLater(nua_handle_t* nh, std::shared_ptr<void> owner)
{
    Post([nh, owner = std::move(owner)] {
        if (nh)
            nua_handle_destroy(nh);
    });
}

void SofiaLoop::OnShutdown(int status)
{
    if (status >= 200)
        su_root_break(root_);
}

} // namespace voip
