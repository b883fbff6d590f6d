// SPDX-License-Identifier: MIT
#include "server/CommunicationLog.h"

#include "HostFixture.h"

using namespace std::string_literals;

using TKind = TCommunicationLog::TChangeKind;
using TSeen = std::tuple<TKind, std::uint64_t, std::uint64_t>;

// The bound keeps the newest lines; numbers go on across drops and clears, so a reader can
// tell what it missed.
TEST(CommunicationLogTest, KeepsTheNewestLinesNumberedWithoutRepeating) {
    TCommunicationLog log;
    std::vector<TSeen> seen;
    log.SetOnChange([&](const auto& c) { seen.emplace_back(c.Kind, c.First, c.Next); });
    for (std::size_t n = 0; n <= TCommunicationLog::DefaultMaxLines; ++n)
        log.Append(std::to_string(n));
    EXPECT_EQ(std::tuple(log.Count(), log.FirstNumber(), log.Line(1)),
              std::tuple(TCommunicationLog::DefaultMaxLines, 1u, "1"s));

    log.SetMaxLines(3);
    EXPECT_THAT(log.Lines(), ElementsAre("99998", "99999", "100000"));
    seen.clear();
    log.AppendLines({"a", "b"});
    EXPECT_THAT(log.Lines(), ElementsAre("100000", "a", "b"));
    EXPECT_EQ(std::tuple(log.FirstNumber(), log.Line(100002)), std::tuple(100000u, "b"s));
    EXPECT_FALSE(log.ReplaceLines(99999, {"x", "y"})) << "its first line was dropped";
    EXPECT_TRUE(log.ReplaceLines(100001, {"c"}));
    log.Clear();
    EXPECT_EQ(std::tuple(log.Count(), log.FirstNumber()), std::tuple(0u, 100003u));
    EXPECT_FALSE(log.ReplaceLines(100002, {"z"})) << "cleared lines stay gone";
    log.Append("d");
    EXPECT_EQ(log.Line(100003), "d");
    EXPECT_THAT(seen, ElementsAre(TSeen{TKind::Appended, 100001, 100003},
                                  TSeen{TKind::Replaced, 100001, 100003},
                                  TSeen{TKind::Cleared, 100003, 100003},
                                  TSeen{TKind::Appended, 100003, 100004}));
    log.SetMaxLines(0);
    EXPECT_EQ(log.MaxLines(), TCommunicationLog::DefaultMaxLines);
}

namespace {
class CommLogPairTest : public THostTest {
protected:
    void SetUp() override {
        CommunicationLog().Clear();
        ResetCommLogState();
    }
    void TearDown() override {
        CommunicationLog().SetMaxLines(0);
        CommunicationLog().Clear();
    }
    void Transfer(std::int32_t connectID, std::size_t bytes) {
        LogStats(Host(), connectID, true, "WriteBuffer", bytes, static_cast<std::int32_t>(bytes));
    }
};
} // namespace

// A connection's traffic pair stays in place at the bound, dropping nothing; a pair whose
// first line was dropped is no longer the pair, and a new one is appended.
TEST_F(CommLogPairTest, TheTrafficPairIsReplacedAtTheBoundWhileKeptInFull) {
    TCommunicationLog& log = CommunicationLog();
    log.SetMaxLines(3);
    const std::uint64_t first = log.NextNumber(); // numbers go on from the tests before
    AddCommLine("dropped");
    AddCommLine("above");
    Transfer(5, 1); // drops the first line
    Transfer(5, 2);
    EXPECT_THAT(log.Lines(), ElementsAre("above", "TrafficStats (ConnectID 5): W: 0  R: 0",
                                         "WriteBuffer 2:2  ok"));
    EXPECT_EQ(log.NextNumber(), first + 4);

    log.SetMaxLines(1);
    Transfer(5, 3);
    EXPECT_THAT(log.Lines(), ElementsAre("WriteBuffer 3:3  ok"));
    EXPECT_EQ(log.NextNumber(), first + 6);
}
