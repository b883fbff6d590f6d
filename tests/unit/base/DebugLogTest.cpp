// SPDX-License-Identifier: MIT
#include "base/DebugLog.h"

#include "Captures.h"
#include "TempFolder.h"
#include "base/ExecutablePaths.h"

#include <gmock/gmock.h>

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
