#include "common/Logging.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class LoggingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/selvlogXXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/log.txt";
        SetLogConsoleOutput(false);
        SetLogFile(path_);
    }
    void TearDown() override
    {
        SetLogFallback(nullptr);
        SetLogFile("/dev/null");
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
        logging_detail::g_ceiling = Notice;
    }
    std::vector<std::string> lines() const
    {
        std::ifstream in(path_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    // The message part of each line, after the "]: " that ends the header.
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const auto& line : lines())
            out.push_back(line.substr(line.find("]: ") + 3));
        return out;
    }
    void writeEverySeverity()
    {
        for (int s = Emergency; s <= Debug; ++s)
            Log(s, "at ", s);
    }

    std::string dir_, path_;
};

TEST_F(LoggingTest, LineLayoutAndPiecesJoinedWithoutSeparators)
{
    SetLogSeverity(Debug);
    std::string number = "89161234567";
    Log(Warning, "CallBackQueue::OnCallBackFailed number=", number);
    Log(Debug, "a", std::string("b"), 3, "d", -5);
    auto all = lines();
    ASSERT_EQ(all.size(), 3u);
    std::regex layout(R"(\[Selvane\.\d+, \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}; (\w+)\]: (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[1], m, layout)) << all[1];
    EXPECT_EQ(m[1], "Warning");
    EXPECT_EQ(m[2], "CallBackQueue::OnCallBackFailed number=89161234567");
    EXPECT_EQ(messages()[2], "ab3d-5");
    ASSERT_TRUE(std::regex_match(all[0], m, layout));
    EXPECT_EQ(m[1], "Informational");
}

TEST_F(LoggingTest, CeilingFiltersBySeverity)
{
    SetLogSeverity(Notice);
    writeEverySeverity();
    EXPECT_EQ(messages(), (std::vector<std::string>{"Severity changed to 5", "at 0", "at 1", "at 2", "at 3", "at 4",
                                                    "at 5"}));
}

TEST_F(LoggingTest, CeilingZeroWritesOnlyTheChangeAndEmergencies)
{
    SetLogSeverity(0);
    writeEverySeverity();
    EXPECT_EQ(messages(), (std::vector<std::string>{"Severity changed to 0", "at 0"}));
}

TEST_F(LoggingTest, CeilingSevenWritesEverythingAndOnlyLowBitsCount)
{
    SetLogSeverity(Debug);
    writeEverySeverity();
    Log(0x10 | Debug, "high bits ignored");
    auto msgs = messages();
    ASSERT_EQ(msgs.size(), 10u);
    EXPECT_EQ(msgs.back(), "high bits ignored");
    EXPECT_NE(lines().back().find("; Debug]: "), std::string::npos);
}

// A piece that counts how often it is turned into text.
struct CountedPiece
{
    mutable int formatted = 0;
    operator std::string_view() const
    {
        ++formatted;
        return "counted";
    }
};

TEST_F(LoggingTest, FilteredCallFormatsNothing)
{
    SetLogSeverity(Warning);
    CountedPiece piece;
    Log(Debug, "not written ", piece);
    Log(Informational, piece, 1);
    EXPECT_EQ(piece.formatted, 0) << "a filtered line must not be built";
    Log(Warning, "written ", piece);
    EXPECT_EQ(piece.formatted, 1);
    EXPECT_EQ(messages(), (std::vector<std::string>{"Severity changed to 4", "written counted"}));
}

TEST_F(LoggingTest, ControlCharactersFromTheNetworkCannotForgeLines)
{
    SetLogSeverity(Notice);
    const std::string callerId = "100\r\n[Selvane.1, 2026-01-01 00:00:00.000; Error]: forged\x1b[2J\t\x7f";
    Log(Warning, "OnIncommingCall from wrong CALLERID=", callerId);
    Log(Notice, std::string("nul\0byte", 8), "; Пётр 1\\2");
    auto all = lines();
    ASSERT_EQ(all.size(), 3u) << "one call, one line";
    EXPECT_EQ(messages()[1],
              "OnIncommingCall from wrong CALLERID=100\\r\\n[Selvane.1, 2026-01-01 00:00:00.000; "
              "Error]: forged\\x1b[2J\\t\\x7f");
    EXPECT_EQ(messages()[2], "nul\\x00byte; Пётр 1\\2") << "printable and UTF-8 text is kept as it is";
}

// A caller ID or header of any length from the network writes a bounded line: each piece is cut with a
// visible mark that says how much was left out, and so is a message whose pieces are all long.
TEST_F(LoggingTest, LongTextsAreCutWithAMarkAndEveryLineIsBounded)
{
    SetLogSeverity(Notice);
    const std::string callerId(60000, '7');
    Log(Warning, "OnIncommingCall from wrong CALLERID=", callerId);
    Log(Notice, callerId, callerId, callerId, callerId, callerId);
    Log(Notice, std::string(3000, '\n'));
    const std::string exact(kLogPieceLimit, '5');
    Log(Notice, exact);
    auto all = lines();
    ASSERT_EQ(all.size(), 5u) << "one call, one line, however long its pieces";
    EXPECT_EQ(messages()[1], "OnIncommingCall from wrong CALLERID=" + std::string(kLogPieceLimit, '7') +
                                 "\u2026[cut " + std::to_string(60000 - kLogPieceLimit) + "]");
    EXPECT_LT(all[1].size(), 1200u);
    // Five cut pieces are more than a message may hold: the message is cut once more.
    const std::string five = messages()[2];
    EXPECT_EQ(five.compare(0, kLogPieceLimit, std::string(kLogPieceLimit, '7')), 0);
    EXPECT_NE(five.find("\u2026[cut " + std::to_string(60000 - kLogPieceLimit) + "]"), std::string::npos);
    EXPECT_LT(all[2].size(), kLogMessageLimit + 100);
    EXPECT_EQ(five.substr(five.rfind("\u2026[cut ")).back(), ']');
    // Cut first, escaped after: control bytes cannot blow a line past four times the piece limit.
    EXPECT_LT(all[3].size(), 4 * kLogPieceLimit + 100);
    EXPECT_NE(all[3].find("\\n\\n\u2026[cut " + std::to_string(3000 - kLogPieceLimit) + "]"), std::string::npos);
    EXPECT_EQ(messages()[4], exact) << "a piece at the limit is whole";

    // The cut never splits a UTF-8 character; a secret shows only its length.
    EXPECT_EQ(LogCut("\u0451\u0451\u0451", 5), "\u0451\u0451\u2026[cut 2]");
    EXPECT_EQ(LogCut("12345", 5), "12345");
    EXPECT_EQ(LogMasked("2000"), "****");
    EXPECT_EQ(LogMasked(""), "");
}

TEST_F(LoggingTest, LinesFromManyThreadsNeverInterleave)
{
    SetLogSeverity(Debug);
    constexpr int threads = 8, perThread = 2000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t] {
            std::string body(100 + t, static_cast<char>('a' + t));
            for (int i = 0; i < perThread; ++i)
                Log(Notice, "t", t, " i", i, body);
        });
    for (auto& th : pool)
        th.join();
    auto msgs = messages();
    ASSERT_EQ(msgs.size(), 1u + threads * perThread);
    std::vector<int> next(threads, 0);
    std::regex piece(R"(t(\d) i(\d+)([a-z]+))");
    for (size_t k = 1; k < msgs.size(); ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(msgs[k], m, piece)) << msgs[k].substr(0, 80);
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one thread out of order";
        EXPECT_EQ(m[3].str(), std::string(100 + t, static_cast<char>('a' + t)));
    }
}

TEST_F(LoggingTest, FailedWriteGoesToFallbackOnceAndCallerGoesOn)
{
    std::vector<std::string> reports;
    SetLogFallback([&](const std::string& text) { reports.push_back(text); });
    SetLogFile("/dev/full");
    SetLogSeverity(Notice);
    Log(Error, "lost 1");
    Log(Error, "lost 2");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("/dev/full"), std::string::npos);

    SetLogFile(dir_ + "/missing/folder/log.txt");
    Log(Error, "lost 3");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("cannot open"), std::string::npos);

    SetLogFile(path_); // writing works again once the path is good
    Log(Error, "kept");
    EXPECT_EQ(messages(), std::vector<std::string>{"kept"});
}

TEST_F(LoggingTest, CreateLoggerWritesToLogTxtInWorkingFolder)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    logging_detail::g_ceiling = Debug;
    CreateLogger();
    Log(Notice, "here");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"Logger created", "here"}));
}

} // namespace
