// SPDX-License-Identifier: MIT
#include "base/DebugLog.h"

#include "TempFolder.h"
#include "base/ExecutablePaths.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {
// Captures the debug output and gives each test a configuration folder of its own.
class ConfDebugStringTest : public ::testing::Test {
protected:
    ConfDebugStringTest() : env_("ZEMB_CONFIG_DIR", folder_.Path()) {
        previous_ = SetDebugOutputSink(
            [this](std::string_view line, std::string_view) { lines_.emplace_back(line); });
    }
    ~ConfDebugStringTest() override {
        SetDebugOutputSink(previous_);
        SetDebugStringSettings({});
    }

    void Configure(const std::string& section) {
        folder_.Write("QUOREN.INI", "[OutputDebugString]\r\n" + section);
        LoadDebugStringSettings();
    }

    TTempFolder folder_;
    TScopedEnv env_;
    std::vector<std::string> lines_;
    TDebugOutputSink previous_;
};
} // namespace

TEST(GroupListTest, SplitsAtCommasKeepingBlanksAndQuotes) {
    EXPECT_THAT(SplitGroupList(""), IsEmpty());
    EXPECT_THAT(SplitGroupList("All"), ElementsAre("All"));
    EXPECT_THAT(SplitGroupList("RUVAzer Comm,RUVAzerComm3"),
                ElementsAre("RUVAzer Comm", "RUVAzerComm3"));
    EXPECT_THAT(SplitGroupList("RUVAzerComm, RUVAzerComm3"),
                ElementsAre("RUVAzerComm", " RUVAzerComm3"));
    EXPECT_THAT(SplitGroupList("a,"), ElementsAre("a", ""));
    EXPECT_THAT(SplitGroupList(",a"), ElementsAre("", "a"));
    EXPECT_THAT(SplitGroupList("a,,b"), ElementsAre("a", "", "b"));
    EXPECT_THAT(SplitGroupList("\"x, y\",z"), ElementsAre("x, y", "z"));
    EXPECT_THAT(SplitGroupList("\"say \"\"hi\"\"\""), ElementsAre("say \"hi\""));
    EXPECT_THAT(SplitGroupList("\"open"), ElementsAre("open"));
}

TEST(GroupListTest, ControlCharactersEndItemsAndAreSkipped) {
    EXPECT_THAT(SplitGroupList("a\tb"), ElementsAre("a", "b"));
    EXPECT_THAT(SplitGroupList("a,\tb"), ElementsAre("a", "b"));
    EXPECT_THAT(SplitGroupList("\t\ta"), ElementsAre("a"));
    EXPECT_THAT(SplitGroupList("a\t"), ElementsAre("a"));
    EXPECT_THAT(SplitGroupList("a,\t"), ElementsAre("a", ""));
}

TEST(LogFileNameTest, DateAndMinuteOfStart) {
    std::tm start{};
    start.tm_year = 2026 - 1900;
    start.tm_mon = 11;
    start.tm_mday = 5;
    start.tm_hour = 6;
    start.tm_min = 37;
    EXPECT_EQ(DebugLogFileName(start), "ODS_LogFile_2026-12-05-06-37.ods");
}

TEST_F(ConfDebugStringTest, WithoutConfigurationEveryLinePassesUnchanged) {
    LoadDebugStringSettings();
    EXPECT_FALSE(DebugStringSettings().Enabled);
    ConfDebugString("Device failed", "RUVAzerComm");
    ConfDebugString("no group");
    EXPECT_THAT(lines_, ElementsAre("Device failed", "no group"));
    EXPECT_FALSE(folder_.Exists(DebugStringSettings().LogFileName));
}

TEST_F(ConfDebugStringTest, EmptySectionLeavesTheLogDisabled) {
    Configure("");
    EXPECT_FALSE(DebugStringSettings().Enabled);
}

TEST_F(ConfDebugStringTest, AnyKeyEnablesWithAllGroupsAndNoPrefix) {
    Configure("DisableShow=0\r\n");
    EXPECT_TRUE(DebugStringSettings().Enabled);
    ConfDebugString("one", "RUVAzerComm");
    ConfDebugString("two", "");
    EXPECT_THAT(lines_, ElementsAre("one", "two"));
}

TEST_F(ConfDebugStringTest, IncludeExcludeAndCaseRules) {
    Configure("IncludedGroups=All\r\nExcludedGroups=RUVAzerCommTraffic\r\n");
    ConfDebugString("traffic", "RUVAzerCommTraffic");
    ConfDebugString("trace", "RUVAzerComm3");
    EXPECT_THAT(lines_, ElementsAre("trace"));

    lines_.clear();
    Configure("IncludedGroups=ruvazercomm3\r\n");
    ConfDebugString("trace", "RUVAzerComm3");
    ConfDebugString("empty group", "");
    ConfDebugString("other", "RUVAzerComm");
    EXPECT_THAT(lines_, ElementsAre("trace"));

    lines_.clear();
    Configure("IncludedGroups=RUVAzerComm, RUVAzerComm3\r\n");
    ConfDebugString("a", "RUVAzerComm");
    ConfDebugString("b", "RUVAzerComm3");
    EXPECT_THAT(lines_, ElementsAre("a"));

    lines_.clear();
    Configure("IncludedGroups=All,Nabto\r\nExcludedGroups=nabto\r\n");
    ConfDebugString("delay", "Nabto");
    EXPECT_THAT(lines_, IsEmpty()) << "the excluded list wins, also over All";

    Configure("IncludedGroups=\r\n");
    ConfDebugString("anything", "RUVAzerComm");
    EXPECT_THAT(lines_, IsEmpty()) << "an empty included list refuses every line";
}

TEST_F(ConfDebugStringTest, PrefixesGroupThenModule) {
    Configure("ShowAssociatedGroup=1\r\nShowModule=1\r\n");
    ConfDebugString("text", "RUVAzerComm3");
    ConfDebugString("text", "");
    const std::string module = ExtractFileName(ExecutablePath());
    EXPECT_THAT(lines_,
                ElementsAre("[RUVAzerComm3] [" + module + "] text", "[] [" + module + "] text"));

    lines_.clear();
    Configure("ShowModule=1\r\nShowModulePath=1\r\n");
    ConfDebugString("text", "g");
    EXPECT_THAT(lines_, ElementsAre("[" + ExecutablePath() + "] text"));
}

TEST_F(ConfDebugStringTest, WordInABooleanKeyGivesItsDefault) {
    Configure("DisableShow=yes\r\nShowAssociatedGroup=on\r\n");
    ConfDebugString("shown", "g");
    EXPECT_THAT(lines_, ElementsAre("shown"));
}

TEST_F(ConfDebugStringTest, LogFileGetsHeaderOnceThenTimedLines) {
    Configure("WriteToFile=1\r\nDisableShow=1\r\nExcludedGroups=Nabto\r\n");
    const std::string name = DebugStringSettings().LogFileName;
    EXPECT_EQ(DebugStringSettings().LogDirectory, folder_.Path());

    ConfDebugString("dropped", "Nabto");
    EXPECT_FALSE(folder_.Exists(name)) << "a refused line creates no file";
    ConfDebugString("first", "RUVAzerComm");
    ConfDebugString("second", "RUVAzerComm");
    EXPECT_THAT(lines_, IsEmpty()) << "DisableShow keeps lines off the debug output";

    const std::string text = folder_.Read(name);
    std::vector<std::string> fileLines;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "every line ends with CR LF";
        fileLines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    ASSERT_EQ(fileLines.size(), 4u);
    EXPECT_THAT(
        fileLines[0],
        ::testing::MatchesRegex(
            R"(\[Session started at : [0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\])"));
    EXPECT_EQ(fileLines[1], "Time (Seconds)\tOutputDebugString");
    EXPECT_THAT(fileLines[2], ::testing::MatchesRegex(R"(\[[0-9]+\.[0-9]{6}\]	first)"));
    EXPECT_THAT(fileLines[3], ::testing::MatchesRegex(R"(\[[0-9]+\.[0-9]{6}\]	second)"));

    // A file deleted while the process runs is created anew with a new header.
    std::filesystem::remove(folder_.File(name));
    ConfDebugString("third", "RUVAzerComm");
    EXPECT_EQ(folder_.Read(name).rfind("[Session started at : ", 0), 0u);
}

TEST_F(ConfDebugStringTest, UnwritableLogFolderLosesTheLineSilently) {
    Configure("WriteToFile=1\r\n");
    TDebugStringSettings settings = DebugStringSettings();
    folder_.Write("blocker", "a file where the folder should be");
    settings.LogDirectory = folder_.File("blocker") + "/sub/";
    SetDebugStringSettings(settings);
    ConfDebugString("still shown", "g");
    EXPECT_THAT(lines_, ElementsAre("still shown"));
}
