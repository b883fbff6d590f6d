// SPDX-License-Identifier: MIT
// The window list against a real X server and window manager: what it reads of each window,
// the front-to-back order, bringing a window forward, and finding the other copy's main window.
#include "TempFolder.h"
#include "TestProcess.h"
#include "window/WindowList.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace fs = std::filesystem;

namespace {

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

// The root window's EWMH state as the test reads it, on a connection of its own.
class TRootState {
public:
    TRootState() {
        Connection_ = xcb_connect(nullptr, &Screen_);
        Ready_ = !xcb_connection_has_error(Connection_) &&
                 xcb_ewmh_init_atoms_replies(&Ewmh_, xcb_ewmh_init_atoms(Connection_, &Ewmh_),
                                             nullptr) == 1;
    }
    ~TRootState() {
        if (Ready_) {
            xcb_ewmh_connection_wipe(&Ewmh_);
        }
        xcb_disconnect(Connection_);
    }
    TRootState(const TRootState&) = delete;
    TRootState& operator=(const TRootState&) = delete;

    bool HasWindowManager() {
        xcb_window_t check = XCB_WINDOW_NONE;
        return Ready_ &&
               xcb_ewmh_get_supporting_wm_check_reply(
                   &Ewmh_, xcb_ewmh_get_supporting_wm_check(&Ewmh_, Ewmh_.screens[Screen_]->root),
                   &check, nullptr) == 1;
    }
    xcb_window_t ActiveWindow() {
        xcb_window_t active = XCB_WINDOW_NONE;
        if (!Ready_ ||
            xcb_ewmh_get_active_window_reply(&Ewmh_, xcb_ewmh_get_active_window(&Ewmh_, Screen_),
                                             &active, nullptr) != 1) {
            return XCB_WINDOW_NONE;
        }
        return active;
    }

private:
    xcb_connection_t* Connection_ = nullptr;
    xcb_ewmh_connection_t Ewmh_{};
    int Screen_ = 0;
    bool Ready_ = false;
};

// A window of the stand-in program: its process and its id.
struct TTestWindow {
    TProcess Process;
    TWindowHandle Handle = 0;
};

bool ShowTestWindow(TTestWindow& window, const std::string& program,
                    const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv = {program, "window"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!window.Process.Start(argv, {env, nullptr, true})) {
        return false;
    }
    const auto line = window.Process.ReadLine(StartBound);
    if (!line) {
        return false;
    }
    window.Handle = static_cast<TWindowHandle>(std::stoul(*line));
    return true;
}

// The windows of the given processes in the display's list, front to back.
std::vector<TWindowItem> WindowsOf(const std::vector<const TTestWindow*>& windows) {
    std::vector<TWindowItem> items = EnumTopLevelWindows();
    std::erase_if(items, [&](const TWindowItem& item) {
        return std::none_of(windows.begin(), windows.end(), [&](const TTestWindow* window) {
            return window->Handle == item.Handle;
        });
    });
    return items;
}

std::vector<TWindowHandle> HandlesOf(const std::vector<TWindowItem>& items) {
    std::vector<TWindowHandle> handles;
    for (const TWindowItem& item : items) {
        handles.push_back(item.Handle);
    }
    return handles;
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
    const std::string xvfb = FindProgram("Xvfb"), openbox = FindProgram("openbox");
    if (xvfb.empty() || openbox.empty()) {
        GTEST_SKIP() << "Xvfb or openbox is not installed";
    }
    TTempFolder temp;
    // The X server picks a free display and tells its number.
    TProcess server;
    ASSERT_TRUE(
        server.Start({xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                     {{}, nullptr, true}));
    // Ended in order, after every window and the window manager, so that it leaves no lock.
    struct TEndServer {
        TProcess& Server;
        ~TEndServer() {
            Server.Signal(SIGTERM);
            Server.WaitForExit(EndBound);
        }
    } endServer{server};
    const auto number = server.ReadLine(StartBound);
    ASSERT_TRUE(number) << server.Errors();
    const std::string display = ":" + *number;
    TScopedEnv useDisplay("DISPLAY", display);
    const std::map<std::string, std::string> env = {
        {"DISPLAY", display},
        {"HOME", temp.Path()},
        {"XDG_CONFIG_HOME", temp.File("config")},
        {"XDG_CACHE_HOME", temp.File("cache")},
        {"XDG_DATA_HOME", temp.File("data")},
    };
    // The same program in another folder: a copy that a full-path match does not count.
    const std::string program = ZEMB_TEST_WINDOW;
    fs::create_directories(temp.File("other"));
    const std::string otherCopy = temp.File("other/") + fs::path(program).filename().string();
    fs::copy_file(program, otherCopy);

    TTestWindow a, b, c, d;
    ASSERT_TRUE(ShowTestWindow(a, program, {"TfrmMain", "ZEMB – Gerät", "net"}, env))
        << a.Process.Errors();
    // No window manager: no list, nothing to activate.
    EXPECT_TRUE(EnumTopLevelWindows().empty());
    EXPECT_FALSE(ForceForegroundWindow(a.Handle));
    EXPECT_EQ(RunProgram({program, "activate", "TfrmMain"}, env).Output, "0\n");

    TProcess wm;
    ASSERT_TRUE(wm.Start({openbox, "--sm-disable"}, env));
    TRootState root;
    ASSERT_TRUE(
        WaitUntil([&] { return root.HasWindowManager() && !WindowsOf({&a}).empty(); }, StartBound))
        << wm.Output();
    // Each new window comes in front of the ones before it.
    ASSERT_TRUE(ShowTestWindow(b, program, {"TfrmOther", "Caf\xe9", "latin1"}, env));
    ASSERT_TRUE(ShowTestWindow(c, otherCopy, {"TfrmMain", "ZEMB copy", "net"}, env));
    ASSERT_TRUE(ShowTestWindow(d, program, {"TfrmMain", " \t ", "net"}, env));
    ASSERT_TRUE(WaitUntil([&] { return WindowsOf({&a, &b, &c, &d}).size() == 4; }, StartBound));

    const std::vector<TWindowItem> items = WindowsOf({&a, &b, &c, &d});
    ASSERT_EQ(HandlesOf(items),
              (std::vector<TWindowHandle>{d.Handle, c.Handle, b.Handle, a.Handle}));
    struct TExpected {
        const TTestWindow* Window;
        const char* ClassName;
        const char* Text;
    };
    const TExpected expected[] = {{&d, "TfrmMain", " \t "},
                                  {&c, "TfrmMain", "ZEMB copy"},
                                  {&b, "TfrmOther", "Café"}, // Latin-1 WM_NAME read as UTF-8
                                  {&a, "TfrmMain", "ZEMB – Gerät"}};
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].ProcessID,
                  static_cast<std::uint32_t>(expected[i].Window->Process.Pid()));
        EXPECT_EQ(items[i].ClassName, expected[i].ClassName);
        EXPECT_EQ(items[i].Text, expected[i].Text);
    }

    // Of the other copies' TfrmMain windows, the untitled one and the one of the copy in
    // another folder do not count: the second copy brings a's window to the front.
    const TRunResult activate = RunProgram({program, "activate", "TfrmMain"}, env);
    EXPECT_EQ(activate.Output, std::to_string(a.Handle) + "\n");
    EXPECT_TRUE(WaitUntil([&] { return root.ActiveWindow() == a.Handle; }, StartBound));
    EXPECT_EQ(WindowsOf({&a, &b, &c, &d}).front().Handle, a.Handle);

    EXPECT_TRUE(ForceForegroundWindow(b.Handle));
    EXPECT_EQ(root.ActiveWindow(), b.Handle);
    EXPECT_EQ(WindowsOf({&a, &b, &c, &d}).front().Handle, b.Handle);
}
