// Sofia-SIP's su_root and nua on a thread of their own, the only thread that touches them; other
// threads hand it work with Post. Sofia's lines go to the library's log sink.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Declared as Sofia's headers declare them, so that users of the loop choose their own magic types
// before they include those headers.
typedef struct su_root_s su_root_t;
typedef struct nua_s nua_t;
typedef struct nua_handle_s nua_handle_t;
typedef struct su_timer_s su_timer_t;

namespace voip {

class SofiaLoop
{
public:
    // Makes the nua on the loop's root, with the owner's URL, tags and event callback; null when it
    // cannot (the address is taken, say).
    using CreateNua = std::function<nua_t*(su_root_t* root)>;

    SofiaLoop() = default;
    ~SofiaLoop(); // Stop()
    SofiaLoop(const SofiaLoop&) = delete;
    SofiaLoop& operator=(const SofiaLoop&) = delete;

    // Starts the thread and makes the nua there; returns once it is made. False when it is not.
    bool Start(const CreateNua& create);
    // Runs beforeShutdown, then nua_shutdown, on the loop's thread, and waits for the thread's end,
    // which OnShutdown brings. Idempotent.
    void Stop(std::function<void()> beforeShutdown = {});
    bool Running() const;

    // Runs task on the loop's thread, in the order posted; false when the loop is not running. A task
    // that never runs goes with the loop.
    bool Post(std::function<void()> task);
    // Runs tick on the loop's thread every period, until the loop stops; false when it is not running.
    bool Every(std::chrono::milliseconds period, std::function<void()> tick);
    // Destroys nh once the callback that ended it has returned; owner (its magic) lives till then.
    void DestroyHandleLater(nua_handle_t* nh, std::shared_ptr<void> owner);
    // For the owner's callback on nua_r_shutdown: the final answer ends the loop.
    void OnShutdown(int status);

    // The loop's thread only; null before Start and after Stop.
    nua_t* Nua() const { return nua_; }

private:
    void RunNext();

    mutable std::mutex mutex_; // guards running_, root_ and tasks_
    bool running_ = false;
    su_root_t* root_ = nullptr;
    nua_t* nua_ = nullptr;
    // Owned here, not by Sofia's messages: a message Sofia drops or never delivers loses no task.
    std::deque<std::function<void()>> tasks_;
    // The loop's thread only; the deque keeps each tick where its timer points.
    std::deque<std::function<void()>> ticks_;
    std::deque<su_timer_t*> timers_;
    std::thread thread_;
};

} // namespace voip
