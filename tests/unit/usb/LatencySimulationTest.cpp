// SPDX-License-Identifier: MIT
#include "usb/LatencySimulation.h"

#include "Captures.h"
#include "FakeLinkDevice.h"
#include "TempFolder.h"
#include "base/ProfileFile.h"

#include <filesystem>
#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

// Each test gets its own folder as "the folder of the executable".
class NabtoSim : public ::testing::Test {
protected:
    ~NabtoSim() override {
        DestroyNabtoSim();
        SetNabtoSleep(std::move(previousSleep_));
    }
    // Empty text: no file.
    void WriteIni(const std::string& text) {
        if (text.empty())
            std::filesystem::remove(folder_.File("Nabto.ini"));
        else
            folder_.Write("Nabto.ini", text);
    }

    TTempFolder folder_;
    TScopedEnv configDir_{"ZEMB_CONFIG_DIR", folder_.Path()};
    std::vector<std::int32_t> sleeps;
    TNabtoSleep previousSleep_ = SetNabtoSleep([this](std::int32_t ms) { sleeps.push_back(ms); });
    TCapturedLog log{std::nullopt, true};
};

// Save writes the general section only.
TEST_F(NabtoSim, SlowExampleDelaysBySizeAndSavesItsChoice) {
    WriteIni("[General]\nIncludePollDelay=1\n[Slow]\n1=0,64,40,2.5\n2=64,100000,80,10\n");
    TNabtoSim sim;
    ASSERT_TRUE(sim.Load("Slow"));
    EXPECT_EQ(std::tuple(sim.CurrentConfig, sim.Intervals.size()), std::tuple("Slow", 2U));
    // 93.6 rounds up; past every ToBytes the last interval counts.
    EXPECT_EQ(std::tuple(sim.IntervalDelay(10), sim.IntervalDelay(200), sim.IntervalDelay(200000)),
              std::tuple(44, 94, 20074));
    sim.IncludePollDelay = false;
    sim.Save();
    const TProfileText text(folder_.Read("Nabto.ini"));
    EXPECT_EQ(std::tuple(text.Value("General", "CurrentConfig"),
                         text.Value("General", "IncludePollDelay"), text.Value("Slow", "2")),
              std::tuple("Slow", "0", "64,100000,80,10"));
}

// One interval line and a transfer size: the delay. Halves round to the even neighbour; a
// result outside 32 bits or a division by zero gives none; below FromBytes the formula goes
// negative, which delays nothing.
TEST_F(NabtoSim, IntervalDelayRoundsAndFailsSafely) {
    // clang-format off
    const struct { const char* Line; std::uint32_t Bytes; std::int32_t Delay; } cases[] = {
        {"0,1000,0,2", 1, 0}, {"0,1000,0,2", 3, 2}, {"0,1000,0,2", 5, 2}, {"0,1000,0,2", 7, 4},
        {"100,1000,10,1", 50, -40}, {"0,100,10,0", 1, 0}, {"0,100,10,0", 4000000000U, 0},
        {"0,100,2147483647,0.0001", 100, 0}, {"100,200,-2147483647,0.5", 0, 0}};
    // clang-format on
    for (const auto& c : cases) {
        TNabtoSim sim;
        ASSERT_TRUE(sim.AddLine(c.Line));
        EXPECT_EQ(sim.IntervalDelay(c.Bytes), c.Delay) << c.Line << " " << c.Bytes;
        sim.Delay(nullptr, c.Bytes, "Write");
        EXPECT_EQ(sleeps.empty(), c.Delay <= 0) << c.Line << " " << c.Bytes;
        sleeps.clear();
    }
}

// Construction and Load read IncludePollDelay alike: on when it is 1, missing or no number, and
// with no file (nullptr). Off, poll messages (0x11, 0x12) pass undelayed; other first bytes and
// an empty buffer, which has no first byte to look at, are delayed all the same.
TEST_F(NabtoSim, PollMessagesAreDelayedOnlyWithIncludePollDelay) {
    const std::pair<const char*, bool> cases[] = {{"1", true},   {"0", false}, {"2", false},
                                                  {"yes", true}, {"", true},   {nullptr, true}};
    for (const auto& [value, include] : cases) {
        WriteIni(value ? "[General]\nIncludePollDelay=" + std::string(value) + "\n" : "");
        TNabtoSim sim;
        const bool constructed = sim.IncludePollDelay;
        sim.IncludePollDelay = !include;
        sim.Load("Slow");
        ASSERT_TRUE(sim.AddLine("0,64,40,2.5"));
        for (const std::uint8_t first : {0x11, 0x12, 0x13})
            sim.Delay(&first, 10, "Read");
        sim.Delay(nullptr, 0, "Read");
        EXPECT_EQ(std::tuple(constructed, sim.IncludePollDelay, sleeps),
                  std::tuple(include, include,
                             include ? std::vector{44, 44, 44, 40} : std::vector{44, 40}))
            << (value ? value : "no file");
        sleeps.clear();
    }
}

TEST_F(NabtoSim, MalformedLinesAreRejected) {
    TNabtoSim sim;
    // A trailing comma adds an empty fourth field; an exponent needs digits.
    for (const char* bad : {"0,64,40", "0,64,40,2.5,1", "0,64,4.0,2.5", "0,64,40,2,5", "0,64,40,x",
                            "0,64,40,", "0,64,40,1e"})
        EXPECT_FALSE(sim.AddLine(bad)) << bad;
    EXPECT_TRUE(sim.Intervals.empty());
    // Blanks separate too, quotes enclose; From and To fall back to 0 and MaxInt.
    ASSERT_TRUE(sim.AddLine(" x  y \"7\" \".5\" "));
    const auto& i = sim.Intervals[0];
    EXPECT_EQ(std::tuple(i.FromBytes, i.ToBytes, i.DelayMs, i.Divisor),
              std::tuple(0, 2147483647, 7, 0.5L));
    EXPECT_THAT(SplitCommaText("a,,\"b\"\"c\" d,"), ElementsAre("a", "", "b\"c", "d", ""));
    EXPECT_THAT(SplitCommaText("\"open"), ElementsAre("open"));
}

// Load reads the keys 1, 2, ... up to the first one missing; a malformed line or one that
// overlaps an earlier interval ends the load, unloaded, with what came before it kept.
TEST_F(NabtoSim, LoadStopsAtTheFirstMissingKeyOrBadLine) {
    WriteIni("[Gap]\n1=0,64,40,2.5\n3=64,100,80,10\n[Three]\n1=0,64,40\n[Empty]\n1=  \n"
             "[BadDelay]\n1=0,64,40,2.5\n2=64,100,8x,1\n[Overlap]\n1=0,100,10,1\n2=50,200,10,1\n"
             "[Touching]\n1=100,200,1,1\n2=0,100,1,1\n");
    // clang-format off
    const struct { const char* Name; bool Loaded; std::size_t Intervals; } cases[] = {
        {"Gap", true, 1}, {"Three", false, 0}, {"Empty", false, 0}, {"Missing", false, 0},
        {"", false, 0}, {"BadDelay", false, 1}, {"Overlap", false, 1}, {"touching", true, 2}};
    // clang-format on
    for (const auto& c : cases) {
        TNabtoSim sim;
        const bool loaded = sim.Load(c.Name);
        EXPECT_EQ(std::tuple(loaded, sim.Intervals.size(), sim.CurrentConfig.empty()),
                  std::tuple(c.Loaded, c.Intervals, !c.Loaded))
            << c.Name;
        EXPECT_TRUE(sim.Intervals.size() < 2 || sim.Intervals[0].FromBytes == 0); // sorted
    }
}

// At start-up the saved choice is in force; a broken one, "Nabto disabled" in any case, or no
// file at all leaves no table.
TEST_F(NabtoSim, StartUpPutsTheSavedConfigurationInForce) {
    EXPECT_EQ(::NabtoSim(), nullptr);
    const std::pair<const char*, std::size_t> cases[] = {
        {"[General]\nCurrentConfig=Broken\n[Broken]\n1=0,100,10,1\n2=50,200,10,1\n", 0},
        {"[General]\nCurrentConfig=nabto DISABLED\n[Nabto disabled]\n1=0,64,40,2.5\n", 0},
        {"", 0},
        {"[General]\nCurrentConfig=Slow\n[Slow]\n1=0,64,40,2.5\n2=64,100000,80,10\n", 2}};
    for (const auto& [ini, intervals] : cases) {
        WriteIni(ini);
        CreateNabtoSim();
        ASSERT_NE(::NabtoSim(), nullptr);
        EXPECT_EQ(std::tuple(::NabtoSim()->CurrentConfig, ::NabtoSim()->Intervals.size()),
                  std::tuple(intervals ? "Slow" : "", intervals))
            << ini;
    }
    // Every transfer of a device goes through it, before the transport.
    TFakeLinkDevice device;
    device.OpenDevice();
    device.Reply({0x08, 0x00, 0x09});
    EXPECT_TRUE(device.GetRAMTotal());
    EXPECT_THAT(sleeps, ElementsAre(40, 41)); // 1-byte write, 3-byte read (40.4 -> 40, 41.2 -> 41)
    EXPECT_THAT(log.Lines,
                ElementsAre("Nabto|>>NaptoDelay_ms: 40 1 Write", "Nabto|<<NaptoDelay_ms Write",
                            "Nabto|>>NaptoDelay_ms: 41 3 Read", "Nabto|<<NaptoDelay_ms Read"));
}

} // namespace
