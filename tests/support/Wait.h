// Waits for what a test is never told about: another process's output, files and ports, or the state
// of a library that offers no event to hook. Where an event exists (a condition variable, a pipe, a
// process descriptor), wait on that instead.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Checks done every interval until it holds; false once timeout has passed without it.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    std::chrono::milliseconds interval = std::chrono::milliseconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(interval, deadline - now));
    }
}

} // namespace testsupport
