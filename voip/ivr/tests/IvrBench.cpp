// ivr_bench [CALLS] [ROUNDS]: concurrent welcome dialogues, their frames pulled by one pacing thread
// every 20 ms as the media does. Prints start latency, pacing jitter, CPU and memory per dialogue.
// ivr_bench --welcome: prints the welcome document for the build's announcements (for ivr_bench.py).
#include "voip/ivr/IvrDialogue.h"
#include "tests/support/PromptDocuments.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long RssKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class EndCounter : public voip::IvrDialogueListener
{
public:
    void OnDialogueTransfer(const std::string&) override {}
    void OnDialogueHangUp() override {}
    void OnDialogueEnded(voip::VxmlEnd) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++ended;
        cv.notify_all();
    }
    std::mutex mutex;
    std::condition_variable cv;
    int ended = 0;
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir(SELVANE_OGM_DIR, std::string(SELVANE_OGM_DIR).size() - 4);
    const std::string document = voip::test::WelcomeDocument(dir);
    if (argc > 1 && std::string(argv[1]) == "--welcome") {
        std::fputs(document.c_str(), stdout);
        return 0;
    }
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;

    // Warm the announcement cache and the scheduler, as a running service would be.
    {
        EndCounter warm;
        voip::IvrDialogue d(warm);
        d.Start(document);
    }

    for (int round = 0; round < rounds; ++round) {
        EndCounter counter;
        const long rssBefore = RssKb();
        const double cpuBefore = CpuSeconds();
        const auto wallBefore = Clock::now();

        std::vector<std::unique_ptr<voip::IvrDialogue>> dialogues;
        std::vector<std::shared_ptr<voip::AudioSource>> sources;
        std::mutex sourcesMutex;
        std::atomic<bool> pacing{true};
        std::vector<double> intervals;
        std::thread pacer([&] {
            int16_t frame[voip::kFrameSamples];
            timespec next;
            clock_gettime(CLOCK_MONOTONIC, &next);
            auto last = Clock::now();
            while (pacing) {
                next.tv_nsec += 20'000'000;
                if (next.tv_nsec >= 1'000'000'000) {
                    next.tv_nsec -= 1'000'000'000;
                    ++next.tv_sec;
                }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
                auto now = Clock::now();
                intervals.push_back(std::chrono::duration<double, std::milli>(now - last).count());
                last = now;
                std::lock_guard<std::mutex> lock(sourcesMutex);
                for (auto& s : sources)
                    s->ReadFrame(frame);
            }
        });

        std::vector<double> startMs;
        for (int i = 0; i < calls; ++i) {
            auto d = std::make_unique<voip::IvrDialogue>(counter);
            {
                std::lock_guard<std::mutex> lock(sourcesMutex);
                sources.push_back(d->Audio());
            }
            auto t0 = Clock::now();
            d->Start(document);
            startMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            dialogues.push_back(std::move(d));
        }
        const long rssRunning = RssKb();
        {
            std::unique_lock<std::mutex> lock(counter.mutex);
            counter.cv.wait_for(lock, std::chrono::seconds(60), [&] { return counter.ended >= calls; });
        }
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        pacing = false;
        pacer.join();
        const double cpu = CpuSeconds() - cpuBefore;
        dialogues.clear();

        double mean = 0, sq = 0;
        for (double v : intervals)
            mean += v;
        mean /= static_cast<double>(intervals.size());
        for (double v : intervals)
            sq += (v - mean) * (v - mean);
        std::printf("round %d: %d dialogues ended %d in %.2f s\n", round + 1, calls, counter.ended, wall);
        std::printf("  start latency ms: median %.3f, p95 %.3f, max %.3f\n", Percentile(startMs, 0.5),
                    Percentile(startMs, 0.95), Percentile(startMs, 1.0));
        std::printf("  pacing interval ms: mean %.3f, sd %.3f, max %.3f\n", mean,
                    std::sqrt(sq / static_cast<double>(intervals.size())), Percentile(intervals, 1.0));
        std::printf("  CPU: %.1f %% of one core, %.3f ms per dialogue-second\n", 100 * cpu / wall,
                    1000 * cpu / (wall * calls));
        std::printf("  memory: %.1f KiB per running dialogue\n",
                    static_cast<double>(rssRunning - rssBefore) / calls);
    }
    return 0;
}
