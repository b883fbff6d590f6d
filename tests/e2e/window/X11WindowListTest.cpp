// SPDX-License-Identifier: MIT
// The window list against a real X server and window manager: what it reads of each window,
// the front-to-back order, bringing a window forward, and finding the other copy's main window.
// Which windows the filters keep is WindowListTest's, over made-up snapshots.
#include "TempFolder.h"
#include "TestProcess.h"
#include "XDisplay.h"
#include "window/WindowList.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// A window of the stand-in program: its process and its id.
struct TTestWindow {
    TProcess Process;
    TWindowHandle Handle = 0;
};

// What the list reads of the windows of the given processes, front to back.
using TSeen = std::vector<std::tuple<TWindowHandle, std::uint32_t, std::string, std::string>>;
TSeen WindowsOf(const std::vector<const TTestWindow*>& windows) {
    TSeen seen;
    for (const TWindowItem& item : EnumTopLevelWindows())
        if (std::ranges::any_of(windows, [&](auto* w) { return w->Handle == item.Handle; }))
            seen.emplace_back(item.Handle, item.ProcessID, item.ClassName, item.Text);
    return seen;
}

TSeen::value_type Seen(const TTestWindow& window, const char* className, const char* text) {
    return {window.Handle, static_cast<std::uint32_t>(window.Process.Pid()), className, text};
}

} // namespace

TEST(X11WindowListTest, WithoutX11TheListIsEmptyAndNothingFails) {
    for (const char* display : {"", ":31999"}) {
        TScopedEnv noDisplay("DISPLAY", display);
        EXPECT_EQ(TWindowList().Count(), 0u) << display;
        EXPECT_FALSE(ForceForegroundWindow(1)) << display;
    }
}

TEST(X11WindowListTest, ReadsTheWindowsFrontToBackAndBringsTheOtherCopysMainWindowForward) {
    const auto programs = FindPrograms({"Xvfb", "openbox"});
    if (!programs)
        GTEST_SKIP() << "Xvfb or openbox is not installed";
    TTempFolder temp;
    // Ended after every window, so that it leaves no lock.
    TXDisplay x;
    std::string why;
    ASSERT_TRUE(x.Start((*programs)[0], why)) << why;
    TScopedEnv useDisplay("DISPLAY", x.Name());
    // clang-format off
    const std::map<std::string, std::string> env = {{"HOME", temp.Path()},
        {"XDG_CONFIG_HOME", temp.File("config")}, {"XDG_CACHE_HOME", temp.File("cache")},
        {"XDG_DATA_HOME", temp.File("data")}};
    // clang-format on
    // The same program in another folder: a copy that a full-path match does not count.
    const std::string program = ZEMB_TEST_WINDOW;
    const std::string otherCopy = temp.File(fs::path(program).filename().string());
    fs::copy_file(program, otherCopy);

    // Shows a window of the stand-in and reads its id.
    const auto show = [&](TTestWindow& w, const std::string& exe, const char* className,
                          const char* title, const char* encoding) {
        if (!w.Process.Start({exe, "window", className, title, encoding}, {env, nullptr, true}))
            return false;
        const auto line = w.Process.ReadLine(StartBound);
        w.Handle = line ? static_cast<TWindowHandle>(std::stoul(*line)) : 0;
        return w.Handle != 0;
    };
    TTestWindow a, b, c, d;
    ASSERT_TRUE(show(a, program, "TfrmMain", "ZEMB – Gerät", "net")) << a.Process.Errors();
    // No window manager: no list, nothing to activate.
    EXPECT_TRUE(EnumTopLevelWindows().empty());
    EXPECT_FALSE(ForceForegroundWindow(a.Handle));
    EXPECT_EQ(RunProgram({program, "activate", "TfrmMain"}, env).Output, "0\n");

    ASSERT_TRUE(x.StartWindowManager((*programs)[1], env, why)) << why;
    ASSERT_TRUE(WaitUntil([&] { return !WindowsOf({&a}).empty(); }, StartBound));
    // Each new window comes in front of the ones before it.
    ASSERT_TRUE(show(b, program, "TfrmOther", "Caf\xe9", "latin1"));
    ASSERT_TRUE(show(c, otherCopy, "TfrmMain", "ZEMB copy", "net"));
    ASSERT_TRUE(show(d, program, "TfrmMain", " \t ", "net"));
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf({&a, &b, &c, &d}).size() == 4; }, StartBound));
    // The Latin-1 WM_NAME is read as UTF-8.
    EXPECT_EQ(WindowsOf({&a, &b, &c, &d}),
              (TSeen{Seen(d, "TfrmMain", " \t "), Seen(c, "TfrmMain", "ZEMB copy"),
                     Seen(b, "TfrmOther", "Café"), Seen(a, "TfrmMain", "ZEMB – Gerät")}));

    // The active window changes, and the window comes to the front: the untitled window and
    // the copy in another folder do not count, so the second copy brings a's window forward.
    auto front = [&] { return std::get<0>(WindowsOf({&a, &b, &c, &d}).front()); };
    EXPECT_EQ(RunProgram({program, "activate", "TfrmMain"}, env).Output,
              std::to_string(a.Handle) + "\n");
    EXPECT_TRUE(WaitUntil([&] { return front() == a.Handle; }, StartBound));
    EXPECT_TRUE(ForceForegroundWindow(b.Handle));
    EXPECT_TRUE(WaitUntil([&] { return front() == b.Handle; }, StartBound));
}
