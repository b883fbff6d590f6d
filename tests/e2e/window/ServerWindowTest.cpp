// SPDX-License-Identifier: MIT
// zemb-server with its window on a private X display and a private session bus: its icon in
// the notification area with the menu behind it, and a second copy that brings the first one's
// window to the front. What the menu offers and the filters of the window list are the unit
// tests' (MainWindowTest, WindowListTest); here the real process, Qt's tray protocol and the
// window manager take part.
#include "PrivateBus.h"
#include "TempFolder.h"
#include "XDisplay.h"
#include "bus/Marshal.h"
#include "window/WindowList.h"

#include <csignal>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <tuple>

namespace {

const std::string BusName = "org.zemb.ZEMB";

// A notification-area host as a desktop's panel offers it on the session bus
// (org.kde.StatusNotifierWatcher): Qt then puts its icon there as a StatusNotifierItem, with
// the menu readable through com.canonical.dbusmenu. It records who registered which item.
class TTrayWatcher {
public:
    bool Start(const std::string& address, std::string& why) {
        Bus_ = TZEMBBus::OpenAddress(address, why);
        if (!Bus_ || !Bus_->RequestName("org.kde.StatusNotifierWatcher", why))
            return false;
        Bus_->SetMethodHandler([this](const TBusMessage& call) { Serve(call); });
        return true;
    }
    // Serves what came in; true once an item is registered.
    bool Registered() {
        Bus_->Process();
        return !Items.empty();
    }

    struct TItem {
        std::string Sender;  // the registering connection's unique name
        std::string Service; // what it registered: a bus name, or an object path on Sender
    };
    std::vector<TItem> Items;

private:
    void Serve(const TBusMessage& call) {
        const TCallAddress to(call);
        TBusMessage in = call;
        std::string text;
        if (to.IsIntrospect()) {
            ZEMB::ReplyArgs(*Bus_, call, std::string(Introspection));
        } else if (to.Member == "RegisterStatusNotifierItem" && ZEMB::ReadArgs(in, text)) {
            Items.push_back({call.Sender(), text});
            Bus_->ReplyEmpty(call);
        } else if (to.Member == "Get" && ZEMB::ReadArgs(in, text, text) &&
                   text == "IsStatusNotifierHostRegistered") {
            TBusMessage reply = TBusMessage::MethodReturn(call);
            if (reply && ZEMB::WriteVariant(reply.Get(), ZEMB::NoCallbacks(), true) >= 0)
                Bus_->Send(reply);
        } else {
            ReplyError(*Bus_, call, BusErrorName::UnknownMethod, "not offered here");
        }
    }
    static constexpr const char* Introspection =
        "<node><interface name=\"org.kde.StatusNotifierWatcher\">"
        "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/></method>"
        "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
        "</interface></node>";

    std::shared_ptr<TZEMBBus> Bus_;
};

// Each test on a display, a window manager and a session bus of its own; the server's folders
// in a test folder.
class ServerWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto programs = FindPrograms({"Xvfb", "openbox", "gdbus"});
        if (!programs)
            GTEST_SKIP() << "Xvfb, openbox or gdbus is not installed";
        Gdbus = (*programs)[2];
        for (const char* folder : {"config", "etc", "data/dbus-1/services", "home"})
            std::filesystem::create_directories(Temp.File(folder));
        // Whatever the machine running the tests has: no Wayland, no platform forced, no
        // desktop's own theme.
        // clang-format off
        Env = {{"XDG_DATA_HOME", Temp.File("data")}, {"ZEMB_CONFIG_DIR", Temp.File("config") + "/"},
               {"ZEMB_SYSTEM_DIR", Temp.File("etc") + "/"}, {"XDG_RUNTIME_DIR", Temp.Dir()},
               {"HOME", Temp.File("home")}, {"XDG_CONFIG_HOME", Temp.File("home/.config")},
               {"XDG_CACHE_HOME", Temp.File("home/.cache")}, {"WAYLAND_DISPLAY", ""},
               {"QT_QPA_PLATFORM", ""}, {"XDG_CURRENT_DESKTOP", ""}, {"XDG_SESSION_TYPE", ""},
               {"DBUS_SESSION_BUS_ADDRESS", ""}};
        // clang-format on
        std::string why;
        ASSERT_TRUE(Display.Start((*programs)[0], why)) << why;
        Env["DISPLAY"] = Display.Name();
        ASSERT_TRUE(Display.StartWindowManager((*programs)[1], Env, why)) << why;
        Bus = std::make_unique<TPrivateBus>(Temp.File("data/dbus-1/services"),
                                            Temp.File("bus.conf"), Env);
        ASSERT_TRUE(Bus->Started());
        Env["DBUS_SESSION_BUS_ADDRESS"] = Bus->Address();
    }

    // The labels of the items a menu shows, read through com.canonical.dbusmenu.
    std::vector<std::string> VisibleMenuItems(const std::string& service, const std::string& path) {
        const TRunResult layout =
            RunProgram({Gdbus, "call", "--session", "--dest", service, "--object-path", path,
                        "--method", "com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"},
                       Env);
        EXPECT_EQ(layout.Status, 0) << layout.Output;
        // Each item is "<(id, {properties}, @av [])>"; hidden ones carry 'visible': <false>.
        static const std::regex item(R"(<\(\d+, \{([^}]*)\})");
        static const std::regex label(R"('label': <'([^']*)'>)");
        std::vector<std::string> labels;
        std::smatch text;
        for (std::sregex_iterator it(layout.Output.begin(), layout.Output.end(), item), end;
             it != end; ++it)
            if (const std::string properties = (*it)[1];
                properties.find("'visible': <false>") == std::string::npos &&
                std::regex_search(properties, text, label))
                labels.push_back(text[1]);
        return labels;
    }

    TTempFolder Temp;
    TXDisplay Display;
    std::string Gdbus;
    std::map<std::string, std::string> Env;
    std::unique_ptr<TPrivateBus> Bus;
};

} // namespace

TEST_F(ServerWindowTest, TrayIconAppearsWithItsMenuAndSetupOnlyWhenAllowed) {
    TTrayWatcher watcher;
    std::string why;
    ASSERT_TRUE(watcher.Start(Bus->Address(), why)) << why;
    // The setup item is there when the settings file exists; the menu protocol writes the
    // "&" of a mnemonic as "_".
    // clang-format off
    const struct { bool SettingsFile; std::vector<std::string> Items; } cases[] = {
        {true, {"Edit/create Fenwy.Ini", "_Close"}}, {false, {"_Close"}}};
    // clang-format on
    for (const auto& c : cases) {
        std::filesystem::remove(Temp.File("config/FENWY.INI"));
        if (c.SettingsFile)
            Temp.Write("config/FENWY.INI", "[Settings]\n");
        watcher.Items.clear();
        TProcess server;
        ASSERT_TRUE(server.Start({ZEMB_SERVER}, Env));
        ASSERT_TRUE(WaitUntil([&] { return watcher.Registered(); }, StartBound))
            << "no icon registered with the notification area\n"
            << server.Output();
        const TTrayWatcher::TItem icon = watcher.Items.front();
        EXPECT_EQ(Bus->OwnerPid(icon.Sender), server.Pid());
        // The item names its menu's object.
        const std::string itemName = icon.Service.starts_with('/') ? icon.Sender : icon.Service;
        const std::string itemPath =
            icon.Service.starts_with('/') ? icon.Service : "/StatusNotifierItem";
        const TRunResult menu = RunProgram(
            {Gdbus, "call", "--session", "--dest", itemName, "--object-path", itemPath, "--method",
             "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem", "Menu"},
            Env);
        std::smatch menuPath;
        ASSERT_TRUE(std::regex_search(menu.Output, menuPath, std::regex("objectpath '([^']+)'")))
            << menu.Output;
        EXPECT_EQ(VisibleMenuItems(itemName, menuPath[1]), c.Items)
            << "settings file: " << c.SettingsFile;
        server.Signal(SIGTERM);
        EXPECT_EQ(server.WaitForExit(EndBound), 0) << server.Output();
    }
}

TEST_F(ServerWindowTest, SecondCopyBringsTheFirstOnesWindowForwardAndEnds) {
    TProcess first;
    ASSERT_TRUE(first.Start({ZEMB_SERVER}, Env));
    ASSERT_TRUE(WaitUntil([&] { return Bus->OwnerPid(BusName) == first.Pid(); }, StartBound))
        << first.Output();
    // Whose window is active: its process and class.
    const auto activeOwner = [&] {
        for (const TWindowItem& item : EnumTopLevelWindows())
            if (item.Handle == Display.ActiveWindow())
                return std::pair(item.ProcessID, item.ClassName);
        return std::pair(std::uint32_t{0}, std::string());
    };
    const std::pair<std::uint32_t, std::string> firstWindow(first.Pid(), "TfrmMain");
    TScopedEnv display("DISPLAY", Display.Name());

    // Hidden, as it starts, the window is in no window list: the copy asks the first one to
    // show it. Shown behind another program's window, the copy finds it and activates it.
    TProcess other;
    for (const bool behindAnother : {false, true}) {
        if (behindAnother) {
            ASSERT_TRUE(other.Start({ZEMB_TEST_WINDOW, "window", "TfrmOther", "in front", "net"},
                                    {Env, nullptr, true}));
            const auto line = other.ReadLine(StartBound);
            ASSERT_TRUE(line) << other.Errors();
            const auto handle = static_cast<TWindowHandle>(std::stoul(*line));
            ASSERT_TRUE(WaitUntil([&] { return ForceForegroundWindow(handle); }, StartBound));
            ASSERT_NE(activeOwner(), firstWindow);
        }
        const TRunResult copy = RunProgram({ZEMB_SERVER}, {Env, nullptr, true});
        EXPECT_EQ(copy.Status, 1) << copy.Output << copy.Errors;
        EXPECT_THAT(copy.Errors, ::testing::HasSubstr("ZEMB already started")) << copy.Output;
        EXPECT_TRUE(WaitUntil([&] { return activeOwner() == firstWindow; }, StartBound))
            << "behind another window: " << behindAnother << ", active " << Display.ActiveWindow()
            << "\n"
            << copy.Errors << first.Output();
    }
    EXPECT_EQ(Bus->OwnerPid(BusName), first.Pid()) << "the first copy goes on serving";
}
