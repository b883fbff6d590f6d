// SPDX-License-Identifier: MIT
#pragma once

// The top-level windows of the X11 display (DISPLAY) as the window manager lists them
// (EWMH): which window belongs to another running copy of this program, and bringing it to
// the front. Without X11 (no DISPLAY, an unreachable one, Wayland alone, no window manager)
// every list is empty and nothing fails. xcb only: usable before any Qt object exists.

#include "base/ProcessList.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using TWindowHandle = std::uint32_t; // an X11 window id
struct xcb_connection_t;

struct TWindowItem {
    std::uint32_t ProcessID = 0; // _NET_WM_PID; 0 when the window does not tell
    TWindowHandle Handle = 0;
    std::string Text;      // _NET_WM_NAME, else WM_NAME; UTF-8, up to its first NUL
    std::string ClassName; // the class part of WM_CLASS, at most 255 bytes
};

// The windows of the client list, front to back. Each call opens its own connection.
std::vector<TWindowItem> EnumTopLevelWindows();

// A snapshot of the top-level windows, filled when created and then only filtered down.
class TWindowList {
public:
    using TSnapshot = std::function<std::vector<TWindowItem>()>;

    TWindowList(); // takes the snapshot of the display's windows
    // A list over another source of snapshots (tests): filled from it at once.
    explicit TWindowList(TSnapshot snapshot);

    const std::vector<TWindowItem>& Items() const { return items_; }
    std::size_t Count() const { return items_.size(); }

    // Mode 0 takes the snapshot again; mode 1 keeps only the items whose window still exists.
    void Refresh(int mode);
    // Removes the items whose Text is empty without its leading and trailing blanks and
    // control characters.
    void RemoveUntitled();
    void RemoveProcessIDs(const std::vector<std::uint32_t>& processIDs);
    // Keeps the windows of the processes that run the executable Name (empty: this program),
    // matched as TProcessList::FilterByExe matches, over a fresh process snapshot or the one
    // given. Returns the number left.
    std::size_t FilterByExe(const std::string& name, bool byFullPath);
    std::size_t FilterByExe(TProcessList processes, const std::string& name, bool byFullPath);
    // Keep the items whose ClassName (Text) matches one of names. Match modes: 0 equal,
    // 1 begins with the name, 2 contains it. Without caseSensitive both sides are upper-cased
    // first, accented letters too. Return the number left.
    std::size_t FilterByClassName(const std::vector<std::string>& names, int matchMode,
                                  bool caseSensitive);
    std::size_t FilterByText(const std::vector<std::string>& names, int matchMode,
                             bool caseSensitive);
    // Position of the item with that window, or -1.
    int IndexOfHandle(TWindowHandle handle) const;

private:
    TSnapshot snapshot_;
    std::vector<TWindowItem> items_;
};

// Upper case for the case-insensitive filters: letters of every script, not only a to z.
std::string UpperCaseWindowText(const std::string& text);

// Sets the window's WM_CLASS (instance name, class name), as window lists find it; false without
// an X11 display. Effective for a window not yet mapped.
bool SetWindowClass(TWindowHandle handle, const std::string& instance,
                    const std::string& className);
// The same on a connection the caller holds, e.g. the toolkit's own: the property then follows
// whatever that connection has already asked of the window (a toolkit sets its own WM_CLASS
// when it makes the window, and a request on another connection may reach the X server first).
bool SetWindowClass(xcb_connection_t* connection, TWindowHandle handle, const std::string& instance,
                    const std::string& className);

// Asks the window manager to activate the window (a _NET_ACTIVE_WINDOW request) and waits,
// briefly, until it has: whether the window became the active one.
bool ForceForegroundWindow(TWindowHandle handle);

// Finds the main window (its class formClass, its title caption unless empty) of another
// running copy of this program, matched by full path or by file name, and brings it to the
// front. Its window, or 0 when there is no other copy or no such window.
long ActivateOtherInstance(const std::string& formClass, bool byFullPath,
                           const std::string& caption);
