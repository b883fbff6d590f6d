// SPDX-License-Identifier: MIT
#include "base/DebugLog.h"

#include "Captures.h"
#include "TempFolder.h"
#include "base/ExecutablePaths.h"

#include <climits>
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
// Captures the debug output and gives each test a configuration folder of its own.
class ConfDebugStringTest : public ::testing::Test {
protected:
    ~ConfDebugStringTest() override { SetDebugStringSettings({}); }

    void Configure(const std::string& section) {
        folder_.Write("QUOREN.INI", "[OutputDebugString]\r\n" + section);
        LoadDebugStringSettings();
    }

    TTempFolder folder_;
    TScopedEnv env_{"ZEMB_CONFIG_DIR", folder_.Path()};
    TCapturedLog log_;
    std::vector<std::string>& lines_ = log_.Lines;
};
} // namespace

// Commas outside quotes and control characters end items; blanks are kept, a control
// character is skipped and a comma right after one starts no empty item.
TEST(GroupListTest, SplitsAtCommasAndControlCharacters) {
    // clang-format off
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"", {}}, {"RUVAzer Comm,RUVAzerComm3", {"RUVAzer Comm", "RUVAzerComm3"}},
        {"RUVAzerComm, RUVAzerComm3", {"RUVAzerComm", " RUVAzerComm3"}},
        {"a,,b,", {"a", "", "b", ""}}, {",a", {"", "a"}}, {"\"x, y\",z", {"x, y", "z"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}}, {"\"open", {"open"}}, {"a\tb", {"a", "b"}},
        {"a,\tb", {"a", "b"}}, {"\t\ta\t", {"a"}}, {"a,\t", {"a", ""}}};
    // clang-format on
    for (const auto& [text, items] : cases)
        EXPECT_EQ(SplitGroupList(text), items) << text;
}

// The QUOREN.INI section, one line and its group: whether the line is shown, and as what.
TEST_F(ConfDebugStringTest, SectionDecidesWhichLinesPassAndHow) {
    // Without a file every line passes unchanged, and no log file is written.
    LoadDebugStringSettings();
    ConfDebugString("Device failed", "RUVAzerComm");
    EXPECT_EQ(lines_, std::vector<std::string>{"Device failed"});
    EXPECT_FALSE(folder_.Exists(DebugStringSettings().LogFileName));

    const std::string m = "[" + ExtractFileName(ExecutablePath()) + "] ";
    const std::string all = "IncludedGroups=All,Nabto\r\nExcludedGroups=nabto,RUVAzerCommTraffic";
    const std::string two = "IncludedGroups=RUVAzerComm, RUVAzerComm3";
    const std::string both = "ShowAssociatedGroup=1\r\nShowModule=1";
    // clang-format off
    const struct { std::string Section, Group, Shown; } cases[] = { // Shown empty: refused
        // An empty section leaves the log disabled; any key enables it, all groups, no prefix.
        {"", "g", "text"}, {"DisableShow=0", "", "text"},
        // The excluded list wins, also over All; names without case; blanks count.
        {all, "Nabto", ""}, {all, "RUVAzerCommTraffic", ""}, {all, "RUVAzerComm3", "text"},
        {"IncludedGroups=ruvazercomm3", "RUVAzerComm3", "text"},
        {"IncludedGroups=ruvazercomm3", "", ""}, {"IncludedGroups=", "RUVAzerComm", ""},
        {two, "RUVAzerComm", "text"}, {two, "RUVAzerComm3", ""},
        // A word in a boolean key gives its default.
        {"DisableShow=yes\r\nShowAssociatedGroup=on", "g", "text"},
        {both, "RUVAzerComm3", "[RUVAzerComm3] " + m + "text"}, {both, "", "[] " + m + "text"},
        {"ShowModule=1\r\nShowModulePath=1", "g", "[" + ExecutablePath() + "] text"}};
    // clang-format on
    for (const auto& c : cases) {
        lines_.clear();
        Configure(c.Section + "\r\n");
        ConfDebugString("text", c.Group);
        EXPECT_EQ(lines_, std::vector<std::string>(!c.Shown.empty(), c.Shown))
            << c.Section << " / " << c.Group;
    }
}

TEST_F(ConfDebugStringTest, LogFileGetsHeaderOnceThenTimedLines) {
    Configure("WriteToFile=1\r\nDisableShow=1\r\nExcludedGroups=Nabto\r\n");
    const std::string name = DebugStringSettings().LogFileName;
    EXPECT_EQ(DebugStringSettings().LogDirectory, folder_.Path());

    ConfDebugString("dropped", "Nabto");
    EXPECT_FALSE(folder_.Exists(name)) << "a refused line creates no file";
    ConfDebugString("first", "RUVAzerComm");
    ConfDebugString("second", "RUVAzerComm");
    EXPECT_TRUE(lines_.empty()) << "DisableShow keeps lines off the debug output";
    const std::string stamp = "\\[[0-9]+\\.[0-9]{6}\\]\t";
    EXPECT_THAT(folder_.Read(name),
                ::testing::MatchesRegex("\\[Session started at : [0-9]{4}-[0-9]{2}-[0-9]{2}_"
                                        "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\]\r\n"
                                        "Time \\(Seconds\\)\tOutputDebugString\r\n" +
                                        stamp + "first\r\n" + stamp + "second\r\n"));

    // A file deleted while the process runs is created anew with a new header.
    std::filesystem::remove(folder_.File(name));
    ConfDebugString("third", "RUVAzerComm");
    EXPECT_EQ(folder_.Read(name).rfind("[Session started at : ", 0), 0u);
}

// Standard error while a loop holds the debug output: nothing until the flush, then the held
// lines in one write; a write never splits a line nor passes a pipe's atomic size; another
// thread's line goes out at once, behind what was held; ending the hold writes the rest.
TEST(DebugOutputTest, HeldLinesGoOutTogetherInWholeLinesAndOtherThreadsAtOnce) {
    ::unsetenv("JOURNAL_STREAM");
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, pair), 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(pair[0], STDERR_FILENO);
    auto writes = [&] {
        std::vector<std::string> packets;
        char buffer[2 * PIPE_BUF];
        for (ssize_t n; (n = ::recv(pair[1], buffer, sizeof buffer, 0)) > 0;)
            packets.emplace_back(buffer, static_cast<std::size_t>(n));
        return packets;
    };

    HoldDebugOutput(true);
    ConfDebugString(">TZEMBServer.TrafficStat");
    ConfDebugString("<TZEMBServer.TrafficStat");
    EXPECT_THAT(writes(), ::testing::IsEmpty());
    std::thread([] { ConfDebugString("from a worker"); }).join();
    EXPECT_EQ(writes(),
              (std::vector<std::string>{
                  ">TZEMBServer.TrafficStat\n<TZEMBServer.TrafficStat\nfrom a worker\n"}));

    const std::string line(99, 'x');
    for (int i = 0; i < 100; ++i)
        ConfDebugString(line);
    FlushDebugOutput();
    std::size_t total = 0;
    for (const std::string& packet : writes()) {
        EXPECT_LE(packet.size(), std::size_t(PIPE_BUF));
        EXPECT_EQ(packet.size() % 100, 0u) << "whole lines only";
        total += packet.size();
    }
    EXPECT_EQ(total, 100u * 100u);

    ConfDebugString("last");
    HoldDebugOutput(false);
    ConfDebugString("unheld");
    EXPECT_EQ(writes(), (std::vector<std::string>{"last\n", "unheld\n"}));
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(pair[0]);
    ::close(pair[1]);
}
