// The interpreter against a host that records every request and plays on a simulated clock.
#include "voip/vxml/VxmlSession.h"
#include "tests/support/PromptDocuments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace voip {
namespace {

using namespace voip::test;

const std::string kDir = "/srv/selvane";

class RecordingHost : public VxmlHost
{
public:
    RecordingHost() : session(*this) {}

    void PlayAudio(uint32_t id, const std::string& path, const std::string& text) override
    {
        events.push_back("play " + path + " | " + text);
        audio = id;
    }
    void StopAudio() override
    {
        events.push_back("stop audio");
        audio.reset();
    }
    void StartTimer(uint32_t id, int ms) override
    {
        timer = id;
        timerMs = ms;
    }
    void CancelTimer() override { timer.reset(); }
    void Transfer(const std::string& destination) override { events.push_back("transfer " + destination); }
    void HangUp() override { events.push_back("hang up"); }
    void DialogueEnded(VxmlEnd reason) override
    {
        events.push_back(std::string("ended ") + VxmlEndName(reason));
        ended = reason;
        if (onEnded)
            onEnded();
    }

    // Plays pending audio to its end (each clip lasts 2 s), else lets the timer run out. False when
    // nothing is pending.
    bool Step()
    {
        if (audio) {
            uint32_t id = *audio;
            audio.reset();
            clockMs += 2000;
            session.OnAudioFinished(id);
            return true;
        }
        if (timer) {
            uint32_t id = *timer;
            timer.reset();
            clockMs += timerMs;
            events.push_back("waited " + std::to_string(timerMs));
            session.OnTimer(id);
            return true;
        }
        return false;
    }
    void RunToEnd()
    {
        for (int i = 0; i < 100 && Step(); ++i) {
        }
    }

    VxmlSession session;
    std::vector<std::string> events;
    std::optional<uint32_t> audio;
    std::optional<uint32_t> timer;
    int timerMs = 0;
    long clockMs = 0;
    std::optional<VxmlEnd> ended;
    std::function<void()> onEnded;
};

using Events = std::vector<std::string>;

TEST(VxmlAnnouncements, EachPlaysItsFilePausesAndHangsUp)
{
    struct Case
    {
        std::string document, file, text, state;
    };
    const Case cases[] = {
        {WelcomeDocument(kDir), "ogm1-welcome.wav", "Please wait callback.", ""},
        {WrongCidDocument(kDir), "ogm2-wrongcid.wav", "Service is unavailable for You. Good bye.", ""},
        {QueueFullDocument(kDir), "ogm3-queuefull.wav", "Queue is full. Recall later. Good bye.", ""},
        {WrongPinDocument(kDir), "ogm5-wrongpin.wav", "Wrong PIN entered.", "wrong_pin"},
        {TransferDeniedDocument(kDir), "ogm7-transferdenied.wav", "Transfer denied.", "transfer_denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        RecordingHost host;
        ASSERT_TRUE(host.session.Start(c.document));
        host.RunToEnd();
        EXPECT_EQ(host.events, (Events{"play " + kDir + "/ogm/" + c.file + " | " + c.text, "waited 3000",
                                       "hang up", "ended disconnected"}));
        EXPECT_EQ(host.session.GetVar("dialog.state"), c.state);
        EXPECT_FALSE(host.session.IsRunning());
    }
}

TEST(VxmlPinDocument, DigitsFillThePinAndTheDocumentEndsAfterItsPause)
{
    RecordingHost host;
    host.session.Start(PinDocument(kDir, "ogm4-enterpin.wav", 15));
    EXPECT_EQ(host.session.GetVar("dialog.state"), "enterpin");
    ASSERT_TRUE(host.Step()); // the 1 s break
    ASSERT_TRUE(host.Step()); // the prompt
    EXPECT_EQ(host.timerMs, 15000) << "the field waits for the document's timeout";
    for (const char* key : {"1", "2", "3", "4#"})
        host.session.OnDigits(key);
    EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "1234");
    EXPECT_EQ(host.session.GetVar("enteredDigits"), "1234");
    EXPECT_EQ(host.timerMs, 10000) << "the closing break";
    host.RunToEnd();
    EXPECT_EQ(host.events,
              (Events{"waited 1000", "play " + kDir + "/ogm/ogm4-enterpin.wav | Please enter the pin-code .",
                      "waited 10000", "ended completed"}));
}

TEST(VxmlPinDocument, TimeoutRunsNoinputAndLeavesThePinEmpty)
{
    RecordingHost host;
    host.session.Start(PinDocument(kDir, "ogm41-enterpinagain.wav", 7));
    host.RunToEnd();
    EXPECT_EQ(
        host.events,
        (Events{"waited 1000", "play " + kDir + "/ogm/ogm41-enterpinagain.wav | Please enter the pin-code .",
                "waited 7000", "waited 10000", "ended completed"}));
    EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "");
    EXPECT_EQ(host.session.GetVar("dialog.state"), "enterpin");
}

// The PIN document past its break and prompt, listening for keys with a 5 s timeout.
void StartAtPinField(RecordingHost& host)
{
    host.session.Start(PinDocument(kDir, "ogm4-enterpin.wav", 5));
    host.Step();
    host.Step();
}

TEST(VxmlPinDocument, FieldRulesForKeys)
{
    {
        SCOPED_TRACE("eleven keys fill the field without a terminator");
        RecordingHost host;
        StartAtPinField(host);
        host.session.OnDigits("12345678901");
        EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "12345678901");
    }
    {
        SCOPED_TRACE("a key during the prompt cuts it short");
        RecordingHost host;
        host.session.Start(PinDocument(kDir, "ogm4-enterpin.wav", 5));
        host.Step();
        host.session.OnDigits("9");
        EXPECT_EQ(host.events.back(), "stop audio");
        EXPECT_FALSE(host.audio);
        EXPECT_EQ(host.timerMs, 5000);
        host.session.OnDigits("8#");
        EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "98");
    }
    {
        SCOPED_TRACE("keys pressed before the field are its first keys; the prompt is skipped");
        RecordingHost host;
        host.session.Start(PinDocument(kDir, "ogm4-enterpin.wav", 5));
        host.session.OnDigits("42#");
        host.Step(); // the break ends, the field takes the keys at once
        EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "42");
        EXPECT_EQ(host.events, (Events{"waited 1000"}));
    }
    {
        SCOPED_TRACE("a lone terminator is no input");
        RecordingHost host;
        StartAtPinField(host);
        host.session.OnDigits("#x");
        EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "");
        EXPECT_EQ(host.timerMs, 10000);
    }
    {
        SCOPED_TRACE("a timeout after some keys fills the field with them");
        RecordingHost host;
        StartAtPinField(host);
        host.session.OnDigits("77");
        host.Step();
        EXPECT_EQ(host.session.GetVar("dialog.pin_code"), "77");
    }
}

TEST(VxmlEnterNumber, PausesBeforeTheFormAndKeepsTheNumber)
{
    RecordingHost host;
    host.session.Start(EnterNumberDocument(kDir, 20));
    EXPECT_EQ(host.timerMs, 600);
    host.Step();
    host.Step();
    EXPECT_EQ(host.timerMs, 20000);
    host.session.OnDigits("0123456789#");
    EXPECT_EQ(host.session.GetVar("dialog.transfer_to"), "0123456789");
    EXPECT_EQ(host.events.back(), "ended completed");

    RecordingHost silent;
    silent.session.Start(EnterNumberDocument(kDir, 20));
    silent.RunToEnd();
    EXPECT_EQ(silent.session.GetVar("dialog.transfer_to"), "");
    EXPECT_EQ(silent.session.GetVar("dialog.state"), "transfer");
    EXPECT_EQ(silent.events.back(), "ended completed");
}

TEST(VxmlWaitTransfer, AsksForSipAndTheNumberSetBeforeTheStart)
{
    RecordingHost host;
    host.session.SetVar("transfer.transfer_num", "0123");
    host.session.Start(WaitTransferDocument(kDir));
    EXPECT_EQ(host.session.GetVar("dialog.state"), "do_transfer");
    host.RunToEnd();
    EXPECT_EQ(host.events,
              (Events{"play " + kDir + "/ogm/ogm8-waittransfer.wav | Please wait. You will be transfered.",
                      "transfer sip:0123"}));
    EXPECT_TRUE(host.session.IsRunning()) << "the dialogue waits for the transfer";
    host.session.OnTransferFinished();
    EXPECT_EQ(host.events.back(), "ended completed");

    RecordingHost unset;
    unset.session.Start(WaitTransferDocument(kDir));
    unset.RunToEnd();
    EXPECT_EQ(unset.events.back(), "ended failed") << "no transfer to a number nobody set";
}

TEST(VxmlWaitConnect, BreaksAroundTheAnnouncementThenEnds)
{
    RecordingHost host;
    std::string address = WaitConnectAddress(kDir);
    host.session.Start(address.substr(4));
    host.RunToEnd();
    EXPECT_EQ(
        host.events,
        (Events{"waited 3000", "play " + kDir + "/ogm/waitconnect.wav | Please wait You will be connected.",
                "waited 3000", "ended completed"}));
    EXPECT_EQ(host.clockMs, 8000);
}

TEST(VxmlSessionLife, ANewDocumentReplacesTheRunningOneSilently)
{
    RecordingHost host;
    host.session.Start(PinDocument(kDir, "ogm4-enterpin.wav", 5));
    host.session.SetVar("transfer.transfer_num", "555");
    host.Step();
    uint32_t staleAudio = *host.audio;
    host.session.Start(WelcomeDocument(kDir));
    EXPECT_FALSE(host.ended) << "no end is reported for a replaced dialogue";
    EXPECT_EQ(host.session.GetVar("dialog.state"), "") << "dialogue variables start afresh";
    EXPECT_EQ(host.session.GetVar("transfer.transfer_num"), "555");
    host.session.OnAudioFinished(staleAudio);
    host.session.OnTimer(staleAudio);
    EXPECT_TRUE(host.audio) << "a stale report does not move the new dialogue on";
    host.RunToEnd();
    EXPECT_EQ(host.ended, VxmlEnd::Disconnected);
}

TEST(VxmlSessionLife, TheHostMayStartTheNextDocumentFromTheEndReport)
{
    RecordingHost host;
    int starts = 0;
    host.onEnded = [&] {
        if (++starts == 1)
            host.session.Start(TransferDeniedDocument(kDir));
    };
    host.session.Start(WrongPinDocument(kDir));
    host.RunToEnd();
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(host.session.GetVar("dialog.state"), "transfer_denied");
    EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "hang up"), 2);
}

TEST(VxmlFaults, EndTheDialogueWithoutACrash)
{
    const char* documents[] = {
        "",
        "<vxml><form><audio src='x'>unclosed</form></vxml>",
        "<vxml><form><goto next='#x'/></form></vxml>",
        "<html/>",
        "<vxml><form><var name='a' expr=\"'open\"/></form></vxml>",
        "<vxml><form><var name='a' expr='b + 1'/></form></vxml>",
        "<vxml><form><var expr='1'/></form></vxml>",
        "<vxml><form><break msecs='soon'/></form></vxml>",
        "<vxml><form><field name='f'><grammar type='application/srgs+xml'/></field></form></vxml>",
        "<vxml><form><field name='f'><grammar>minDigits=5;maxDigits=2</grammar></field></form></vxml>",
        "<vxml><form><transfer/></form></vxml>",
        "<vxml><form id='a' id='b'/></vxml>",
        "<vxml>&nbsp;</vxml>",
        "<vxml/><vxml/>",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        RecordingHost host;
        host.session.Start(document);
        host.RunToEnd();
        EXPECT_EQ(host.ended, VxmlEnd::Failed);
        EXPECT_FALSE(host.session.IsRunning());
    }

    RecordingHost deep;
    std::string nested;
    for (int i = 0; i < 100000; ++i)
        nested += "<prompt>";
    EXPECT_FALSE(deep.session.Start("<vxml><form>" + nested));
    EXPECT_EQ(deep.ended, VxmlEnd::Failed);
}

TEST(VxmlFaults, EveryTruncationOfEveryDocumentEnds)
{
    const std::string documents[] = {WelcomeDocument(kDir), PinDocument(kDir, "ogm4-enterpin.wav", 3),
                                     EnterNumberDocument(kDir, 3), WaitTransferDocument(kDir)};
    for (const std::string& document : documents)
        for (size_t n = 0; n < document.size(); ++n) {
            RecordingHost host;
            host.session.SetVar("transfer.transfer_num", "1");
            host.session.Start(document.substr(0, n));
            host.RunToEnd();
            host.session.OnTransferFinished();
            ASSERT_FALSE(host.session.IsRunning()) << document.substr(0, n);
        }
}

TEST(VxmlExpressions, FollowTheScriptRulesForWhatDocumentsUse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"'sip:'+transfer.transfer_num", "sip:0123"},
        {"\"a\" + 'b' + \"c\"", "abc"},
        {"1 + 2", "3"},
        {"'n' + 1 + 2", "n12"},
        {"'n' + (1 + 2)", "n3"},
        {"0.5 + 1", "1.5"},
        {"'it\\'s'", "it's"},
        {"state", "set"},
        {"document.greeting + '!'", "hi!"},
        {"", ""},
    };
    for (const auto& [expression, expected] : cases) {
        SCOPED_TRACE(expression);
        RecordingHost host;
        host.session.SetVar("transfer.transfer_num", "0123");
        std::string quoted;
        for (char c : std::string(expression))
            quoted += c == '"' ? std::string("&quot;") : std::string(1, c);
        host.session.Start(
            "<vxml><var name='greeting' expr=\"'hi'\"/><form><var name='state' expr=\"'set'\"/>"
            "<var name='out' expr=\"" +
            quoted + "\"/></form></vxml>");
        EXPECT_EQ(host.ended, VxmlEnd::Completed);
        EXPECT_EQ(host.session.GetVar("dialog.out"), expected);
    }
}

TEST(VxmlDocumentParser, ReadsEntitiesCdataAndReportsLines)
{
    std::string error;
    auto root = ParseVxml(
        "<?xml version=\"1.0\"?>\n<!-- c -->\n<a x='&lt;&amp;&#65;&#x42;'>t&gt;<![CDATA[<b>]]></a>", error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(*root->Attribute("x"), "<&AB");
    EXPECT_EQ(root->CollectText(), "t><b>");
    EXPECT_EQ(root->line, 3);

    EXPECT_FALSE(ParseVxml("<a>\n<b>\n</a>", error));
    EXPECT_EQ(error, "line 3: </a> closes <b>");

    // The declared encoding is honoured; the tree is UTF-8.
    root = ParseVxml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a t='\xe9'>caf\xe9</a>", error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->CollectText(), "caf\xc3\xa9");
    EXPECT_EQ(*root->Attribute("t"), "\xc3\xa9");
    // Entities a DOCTYPE declares are expanded, within bounds.
    root = ParseVxml("<!DOCTYPE a [<!ENTITY who \"you\">]><a>&who;</a>", error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->CollectText(), "you");
    std::string laughs = "<!DOCTYPE a [<!ENTITY l0 \"ha\">";
    for (int i = 1; i < 12; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string ten;
            for (int k = 0; k < 10; ++k)
                ten += "&l" + std::to_string(i - 1) + ";";
            return ten;
        }() + "\">";
    EXPECT_FALSE(ParseVxml(laughs + "]><a>&l11;</a>", error));
}

} // namespace
} // namespace voip
