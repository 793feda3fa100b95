// The dialogue at run time: real threads, real timers, the generated announcements.
#include "voip/ivr/IvrDialogue.h"
#include "voip/ivr/Prompts.h"
#include "tests/support/PromptDocuments.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

namespace voip {
namespace {

using namespace std::chrono_literals;

class Recorder : public IvrDialogueListener
{
public:
    void OnDialogueTransfer(const std::string& destination) override { Add("transfer " + destination); }
    void OnDialogueHangUp() override { Add("hang up"); }
    void OnDialogueEnded(VxmlEnd reason) override
    {
        Add(std::string("ended ") + VxmlEndName(reason));
        if (onEnded)
            onEnded();
    }

    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        cv.notify_all();
    }
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return events.size() >= count; });
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::function<void()> onEnded;
};

std::string Ogm(const char* name)
{
    return std::string(SELVANE_OGM_DIR) + "/" + name;
}

TEST(IvrDialogueRun, PlaysTheAnnouncementToTheMediaThenHangsUp)
{
    Recorder recorder;
    IvrDialogue dialogue(recorder);
    auto audio = dialogue.Audio();
    // The welcome document, with its directory pointing at the build's announcements.
    std::string dir = std::string(SELVANE_OGM_DIR).substr(0, std::string(SELVANE_OGM_DIR).size() - 4);
    ASSERT_TRUE(dialogue.Start(test::WelcomeDocument(dir)));
    std::string error;
    auto clip = ReadAudioFile(Ogm("ogm1-welcome.wav"), error);
    ASSERT_TRUE(clip);

    // Pull frames as the media would while the dialogue runs; the first carries the file's start.
    int16_t frame[kFrameSamples];
    audio->ReadFrame(frame);
    EXPECT_TRUE(std::equal(frame, frame + kFrameSamples, clip->begin()));
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"hang up", "ended disconnected"}));
    EXPECT_FALSE(dialogue.IsRunning());
}

TEST(IvrDialogueRun, DigitsFillAFieldAndTheListenerMayStartTheNextDocument)
{
    Recorder recorder;
    IvrDialogue dialogue(recorder);
    const std::string field =
        "<vxml><form><var name='state' expr=\"'enterpin'\"/><property name='timeout' "
        "value='5s'/><field name='d'><grammar>minDigits=1;maxDigits=4;terminators=#"
        "</grammar></field><filled><var name='pin_code' expr='d'/></filled></form></vxml>";
    std::promise<std::string> pin;
    recorder.onEnded = [&] {
        if (dialogue.GetVar("dialog.state") == "enterpin") {
            pin.set_value(dialogue.GetVar("dialog.pin_code"));
            dialogue.SetVar("transfer.transfer_num", "0123");
            dialogue.Start("<vxml><form><transfer destexpr=\"'sip:'+transfer.transfer_num\"/></form></vxml>");
        }
    };
    ASSERT_TRUE(dialogue.Start(field));
    for (const char* key : {"1", "2", "3", "4#"})
        dialogue.Digits(key);
    auto result = pin.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), "1234");
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(recorder.Events()[1], "transfer sip:0123");
    dialogue.TransferFinished();
    ASSERT_TRUE(recorder.WaitFor(3));
    EXPECT_EQ(recorder.Events()[2], "ended completed");
}

TEST(IvrDialogueRun, AMalformedDocumentEndsWithAReport)
{
    Recorder recorder;
    IvrDialogue dialogue(recorder);
    EXPECT_FALSE(dialogue.Start("<vxml><form>"));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"ended failed"}));
}

TEST(IvrDialogueLife, DestructionWaitsForARunningReportAndStopsLaterOnes)
{
    Recorder recorder;
    std::promise<void> entered, release;
    std::atomic<bool> finished{false};
    recorder.onEnded = [&, released = release.get_future().share()] {
        entered.set_value();
        released.wait();
        finished = true;
    };
    auto dialogue = std::make_unique<IvrDialogue>(recorder);
    dialogue->Start("<vxml/>");
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    auto destroyed = std::async(std::launch::async, [&] { dialogue.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout) << "a report is still running";
    release.set_value();
    destroyed.get();
    EXPECT_TRUE(finished);

    // From inside its own report a dialogue can be destroyed without waiting for itself.
    Recorder self;
    auto owned = std::make_unique<IvrDialogue>(self);
    std::promise<void> gone;
    self.onEnded = [&] {
        owned.reset();
        gone.set_value();
    };
    owned->Start("<vxml/>");
    EXPECT_EQ(gone.get_future().wait_for(10s), std::future_status::ready);
}

} // namespace
} // namespace voip
