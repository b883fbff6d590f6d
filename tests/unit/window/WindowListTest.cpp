// SPDX-License-Identifier: MIT
// The window list's rules over a made-up snapshot: the match modes and the case rule of the
// filters, untitled windows, the refresh modes, the process filters and the handle lookup.
#include "window/WindowList.h"

#include <gtest/gtest.h>
#include <ranges>
#include <tuple>

namespace {

// clang-format off
std::vector<TWindowItem> Sample() {
    return {{100, 1, "ZEMB Server", "TfrmMain"}, {100, 2, " \t\r\n\x7f", "TfrmMain"},
            {200, 3, "Gerät – Übersicht", "TfrmSetup"}, {300, 4, "xterm", "XTerm"},
            {400, 5, "", ""}};
}
// clang-format on

using THandles = std::vector<TWindowHandle>;

THandles Handles(const TWindowList& list) {
    const auto handles = list.Items() | std::views::transform(&TWindowItem::Handle);
    return {handles.begin(), handles.end()};
}

} // namespace

TEST(WindowListTest, FiltersKeepWhatMatchesOneNameByModeAndCaseRule) {
    // clang-format off
    const struct { bool ByClass; std::vector<std::string> Names; int Mode; bool CaseSensitive;
                   THandles Kept; } cases[] = {
        {true, {"TfrmMain"}, 0, true, {1, 2}},
        {true, {"TFRMMAIN"}, 0, true, {}},
        {true, {"tfrmmain"}, 0, false, {1, 2}},
        {true, {"Tfrm"}, 0, true, {}},                  // equal means the whole name
        {true, {"Tfrm"}, 1, true, {1, 2, 3}},           // begins with
        {true, {"frm"}, 1, true, {}},                   // ... at the start only
        {true, {"frm"}, 2, true, {1, 2, 3}},            // contains
        {true, {"Main", "xterm"}, 2, false, {1, 2, 4}}, // any of the names
        {true, {}, 2, false, {}},                       // no name matches nothing
        {true, {""}, 2, true, {1, 2, 3, 4, 5}},         // every text contains the empty one
        {true, {"TfrmMain"}, 3, true, {}},              // no such mode
        {false, {"gerät"}, 1, false, {3}},              // accented letters are upper-cased too
        {false, {"GERÄT – ÜBERSICHT"}, 0, false, {3}},
        {false, {"gerät"}, 1, true, {}},
        {false, {"SERVER"}, 2, false, {1}},
    };
    // clang-format on
    for (const auto& c : cases) {
        TWindowList list(Sample);
        const std::size_t left = c.ByClass
                                     ? list.FilterByClassName(c.Names, c.Mode, c.CaseSensitive)
                                     : list.FilterByText(c.Names, c.Mode, c.CaseSensitive);
        EXPECT_EQ(std::pair(Handles(list), left), std::pair(c.Kept, c.Kept.size()))
            << (c.ByClass ? "class " : "text ") << c.Mode << testing::PrintToString(c.Names);
    }
    // Text that is not UTF-8 keeps its bytes; the letters around them still change.
    EXPECT_EQ(UpperCaseWindowText("caf\xe9-ß-é"), "CAF\xe9-ß-É");
}

TEST(WindowListTest, RemovesUntitledAndProcessesAndFindsHandles) {
    TWindowList list(Sample);
    EXPECT_EQ(list.IndexOfHandle(3), 2);
    list.RemoveUntitled(); // blanks, control characters and DEL only count as no title
    EXPECT_EQ(Handles(list), (THandles{1, 3, 4}));
    list.RemoveProcessIDs({100, 300, 999});
    EXPECT_EQ(std::tuple(Handles(list), list.IndexOfHandle(3), list.IndexOfHandle(1)),
              std::tuple(THandles{3}, 0, -1));

    // The windows of the processes that run the program, matched as the process list matches.
    TWindowList byExe(Sample);
    const TProcessList processes(
        std::vector<TProcessItem>{{"zemb-server", "/opt/zemb/zemb-server", 100},
                                  {"ZEMB-SERVER", "/usr/bin/ZEMB-SERVER", 200},
                                  {"xterm", "/usr/bin/xterm", 300}});
    EXPECT_EQ(byExe.FilterByExe(processes, "/usr/bin/zemb-server", false), 3u);
    EXPECT_EQ(Handles(byExe), (THandles{1, 2, 3}));
    EXPECT_EQ(byExe.FilterByExe(processes, "/usr/bin/zemb-server", true), 1u);
    EXPECT_EQ(Handles(byExe), THandles{3});

    // An empty snapshot stays empty whatever is asked of it.
    TWindowList empty([] { return std::vector<TWindowItem>{}; });
    empty.RemoveUntitled();
    EXPECT_EQ(std::tuple(empty.FilterByClassName({""}, 2, false),
                         empty.FilterByText({""}, 2, false),
                         empty.FilterByExe(processes, "xterm", false), empty.IndexOfHandle(0)),
              std::tuple(0u, 0u, 0u, -1));
}

TEST(WindowListTest, RefreshRebuildsOrKeepsTheWindowsThatStillExist) {
    std::vector<TWindowItem> now = Sample();
    TWindowList list([&] { return now; });
    list.FilterByClassName({"TfrmMain", "XTerm"}, 0, true);
    ASSERT_EQ(Handles(list), (THandles{1, 2, 4}));

    now = {
        {100, 7, "new", "TfrmMain"}, {300, 4, "xterm", "XTerm"}, {100, 1, "Renamed", "TfrmMain"}};
    list.Refresh(1); // gone windows go; the kept items stay as they were, in their order
    EXPECT_EQ(std::tuple(Handles(list), list.Items()[0].Text),
              std::tuple(THandles{1, 4}, "ZEMB Server"));
    list.Refresh(2); // no such mode: nothing changes
    EXPECT_EQ(Handles(list), (THandles{1, 4}));
    list.Refresh(0);
    EXPECT_EQ(std::tuple(Handles(list), list.Items()[2].Text),
              std::tuple(THandles{7, 4, 1}, "Renamed"));
}
