// SPDX-License-Identifier: MIT
#include "window/WindowList.h"

#include "base/Text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <unistd.h>
#include <wctype.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace {

constexpr std::size_t kClassNameLimit = 255;
constexpr std::uint32_t kPropertyLength = 4096; // in 32-bit units: 16 KiB of title at most
// How long the window manager may take to activate a window.
constexpr std::chrono::milliseconds kActivationBound{2000};

// xcb hands out its replies and events from malloc.
struct TReplyFree {
    void operator()(void* reply) const {
        std::free(reply); // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    }
};
template <typename T> using TReply = std::unique_ptr<T, TReplyFree>;

// One connection to the display with the EWMH atoms; not usable when there is no X11 display
// or no reachable one.
class TDisplay {
public:
    TDisplay() {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            return;
        }
        Connection_ = xcb_connect(display, &Screen_);
        if (xcb_connection_has_error(Connection_)) {
            return;
        }
        xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(Connection_, &Ewmh_);
        Ready_ = cookies != nullptr && xcb_ewmh_init_atoms_replies(&Ewmh_, cookies, nullptr) == 1;
    }
    ~TDisplay() {
        if (Ready_) {
            xcb_ewmh_connection_wipe(&Ewmh_);
        }
        if (Connection_ != nullptr) {
            xcb_disconnect(Connection_);
        }
    }
    TDisplay(const TDisplay&) = delete;
    TDisplay& operator=(const TDisplay&) = delete;

    bool Ready() const { return Ready_; }
    xcb_connection_t* Connection() const { return Connection_; }
    xcb_ewmh_connection_t* Ewmh() { return &Ewmh_; }
    int Screen() const { return Screen_; }
    xcb_window_t Root() const { return Ewmh_.screens[Screen_]->root; }

    // A window list property of the root window; none when the window manager keeps none.
    std::optional<std::vector<xcb_window_t>> Windows(xcb_get_property_cookie_t cookie) {
        xcb_ewmh_get_windows_reply_t reply;
        if (xcb_ewmh_get_windows_reply(&Ewmh_, cookie, &reply, nullptr) != 1) {
            return std::nullopt;
        }
        std::vector<xcb_window_t> windows(reply.windows, reply.windows + reply.windows_len);
        xcb_ewmh_get_windows_reply_wipe(&reply);
        return windows;
    }
    std::optional<std::vector<xcb_window_t>> ClientList() {
        return Windows(xcb_ewmh_get_client_list(&Ewmh_, Screen_));
    }

private:
    xcb_connection_t* Connection_ = nullptr;
    xcb_ewmh_connection_t Ewmh_{};
    int Screen_ = 0;
    bool Ready_ = false;
};

std::string Latin1ToUtf8(std::string_view text) {
    std::string utf8;
    for (unsigned char c : text) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// The text ends at its first NUL, as a window title does.
std::string UpToNul(const char* data, std::size_t length) {
    return std::string(data, strnlen(data, length));
}

// The replies of one window's properties, asked for together with every other window's.
struct TWindowRequests {
    xcb_get_property_cookie_t Pid, NetName, Name, Class;
};

TWindowRequests Ask(TDisplay& display, xcb_window_t window) {
    xcb_connection_t* c = display.Connection();
    return {xcb_ewmh_get_wm_pid(display.Ewmh(), window),
            xcb_ewmh_get_wm_name(display.Ewmh(), window),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0,
                             kPropertyLength),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, kPropertyLength)};
}

// A window that went away meanwhile answers nothing: its item has empty texts.
TWindowItem Collect(TDisplay& display, xcb_window_t window, const TWindowRequests& requests) {
    xcb_connection_t* c = display.Connection();
    TWindowItem item;
    item.Handle = window;
    if (xcb_ewmh_get_wm_pid_reply(display.Ewmh(), requests.Pid, &item.ProcessID, nullptr) != 1) {
        item.ProcessID = 0;
    }
    xcb_ewmh_get_utf8_strings_reply_t netName;
    const bool hasNetName =
        xcb_ewmh_get_wm_name_reply(display.Ewmh(), requests.NetName, &netName, nullptr) == 1;
    if (hasNetName) {
        item.Text = UpToNul(netName.strings, netName.strings_len);
        xcb_ewmh_get_utf8_strings_reply_wipe(&netName);
    }
    TReply<xcb_get_property_reply_t> name(xcb_get_property_reply(c, requests.Name, nullptr));
    if (!hasNetName && name && name->format == 8) {
        const auto* data = static_cast<const char*>(xcb_get_property_value(name.get()));
        item.Text =
            UpToNul(data, static_cast<std::size_t>(xcb_get_property_value_length(name.get())));
        // STRING is Latin-1; UTF8_STRING and compound text (ASCII in practice) stay as they are.
        if (name->type == XCB_ATOM_STRING) {
            item.Text = Latin1ToUtf8(item.Text);
        }
    }
    TReply<xcb_get_property_reply_t> cls(xcb_get_property_reply(c, requests.Class, nullptr));
    if (cls && cls->format == 8) {
        // "instance\0class\0": the class is the second string, or the only one.
        const auto* data = static_cast<const char*>(xcb_get_property_value(cls.get()));
        const auto length = static_cast<std::size_t>(xcb_get_property_value_length(cls.get()));
        const std::string instance = UpToNul(data, length);
        item.ClassName = instance.size() + 1 < length
                             ? UpToNul(data + instance.size() + 1, length - instance.size() - 1)
                             : instance;
        if (item.ClassName.size() > kClassNameLimit) {
            item.ClassName.resize(kClassNameLimit);
        }
    }
    return item;
}

std::string TrimBlanksAndControls(const std::string& text) {
    auto blank = [](unsigned char c) { return c <= 0x20 || c == 0x7F; };
    std::size_t first = 0, last = text.size();
    while (first < last && blank(static_cast<unsigned char>(text[first]))) {
        ++first;
    }
    while (last > first && blank(static_cast<unsigned char>(text[last - 1]))) {
        --last;
    }
    return text.substr(first, last - first);
}

// One UTF-8 sequence at text[at]: its code point and length; none for a malformed one.
std::optional<std::pair<char32_t, std::size_t>> DecodeUtf8(const std::string& text,
                                                           std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80         ? 1
                         : lead >> 5 == 0x6  ? 2
                         : lead >> 4 == 0xE  ? 3
                         : lead >> 3 == 0x1E ? 4
                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return std::nullopt;
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        code = (code << 6) | (next & 0x3F);
    }
    return std::pair{code, length};
}

void EncodeUtf8(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Case mapping by Unicode's rules, whatever locale the process runs in.
locale_t UnicodeLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

bool Matches(const std::string& value, const std::string& name, int matchMode) {
    switch (matchMode) {
    case 0:
        return value == name;
    case 1:
        return value.starts_with(name);
    case 2:
        return value.find(name) != std::string::npos;
    default:
        return false;
    }
}

std::size_t KeepMatching(std::vector<TWindowItem>& items, std::string TWindowItem::*field,
                         const std::vector<std::string>& names, int matchMode, bool caseSensitive) {
    std::vector<std::string> keys;
    keys.reserve(names.size());
    for (const std::string& name : names) {
        keys.push_back(caseSensitive ? name : UpperCaseWindowText(name));
    }
    std::erase_if(items, [&](const TWindowItem& item) {
        const std::string value = caseSensitive ? item.*field : UpperCaseWindowText(item.*field);
        return std::none_of(keys.begin(), keys.end(),
                            [&](const std::string& key) { return Matches(value, key, matchMode); });
    });
    return items.size();
}

// Waits for the next event of the connection until the deadline.
TReply<xcb_generic_event_t> NextEvent(xcb_connection_t* c,
                                      std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            return TReply<xcb_generic_event_t>(event);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(c)) {
            return nullptr;
        }
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return nullptr;
        }
    }
}

xcb_window_t ActiveWindow(TDisplay& display) {
    xcb_window_t active = XCB_WINDOW_NONE;
    if (xcb_ewmh_get_active_window_reply(
            display.Ewmh(), xcb_ewmh_get_active_window(display.Ewmh(), display.Screen()), &active,
            nullptr) != 1) {
        return XCB_WINDOW_NONE;
    }
    return active;
}

// The managed window that holds handle: itself, or the nearest ancestor in the client list.
xcb_window_t ManagedAncestor(TDisplay& display, const std::vector<xcb_window_t>& clients,
                             xcb_window_t window) {
    while (window != XCB_WINDOW_NONE && window != display.Root()) {
        if (std::find(clients.begin(), clients.end(), window) != clients.end()) {
            return window;
        }
        TReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(
            display.Connection(), xcb_query_tree(display.Connection(), window), nullptr));
        if (!tree) {
            break;
        }
        window = tree->parent;
    }
    return XCB_WINDOW_NONE;
}

} // namespace

std::vector<TWindowItem> EnumTopLevelWindows() {
    TDisplay display;
    if (!display.Ready()) {
        return {};
    }
    auto stackingCookie = xcb_ewmh_get_client_list_stacking(display.Ewmh(), display.Screen());
    auto clients = display.ClientList();
    auto stacking = display.Windows(stackingCookie);
    if (!clients) {
        return {};
    }
    // The stacking list runs bottom to top; windows it lacks go last, in the client list's order.
    std::vector<xcb_window_t> order;
    if (stacking) {
        for (auto it = stacking->rbegin(); it != stacking->rend(); ++it) {
            if (std::find(clients->begin(), clients->end(), *it) != clients->end()) {
                order.push_back(*it);
            }
        }
    }
    for (xcb_window_t window : *clients) {
        if (std::find(order.begin(), order.end(), window) == order.end()) {
            order.push_back(window);
        }
    }
    std::vector<TWindowRequests> requests;
    requests.reserve(order.size());
    for (xcb_window_t window : order) {
        requests.push_back(Ask(display, window));
    }
    std::vector<TWindowItem> items;
    items.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        items.push_back(Collect(display, order[i], requests[i]));
    }
    return items;
}

std::string UpperCaseWindowText(const std::string& text) {
    const locale_t locale = UnicodeLocale();
    if (locale == locale_t{}) {
        return ZEMB::UpperCaseText(text);
    }
    std::string upper;
    upper.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = DecodeUtf8(text, at);
        if (!decoded) {
            upper += text[at++]; // not UTF-8: the byte stays
            continue;
        }
        EncodeUtf8(static_cast<char32_t>(towupper_l(static_cast<wint_t>(decoded->first), locale)),
                   upper);
        at += decoded->second;
    }
    return upper;
}

TWindowList::TWindowList() : TWindowList(EnumTopLevelWindows) {}

TWindowList::TWindowList(TSnapshot snapshot)
    : snapshot_(std::move(snapshot)), items_(snapshot_()) {}

void TWindowList::Refresh(int mode) {
    if (mode == 0) {
        items_ = snapshot_();
    } else if (mode == 1) {
        const std::vector<TWindowItem> now = snapshot_();
        std::erase_if(items_, [&](const TWindowItem& item) {
            return std::none_of(now.begin(), now.end(), [&](const TWindowItem& current) {
                return current.Handle == item.Handle;
            });
        });
    }
}

void TWindowList::RemoveUntitled() {
    std::erase_if(items_,
                  [](const TWindowItem& item) { return TrimBlanksAndControls(item.Text).empty(); });
}

void TWindowList::RemoveProcessIDs(const std::vector<std::uint32_t>& processIDs) {
    std::erase_if(items_, [&](const TWindowItem& item) {
        return std::find(processIDs.begin(), processIDs.end(), item.ProcessID) != processIDs.end();
    });
}

std::size_t TWindowList::FilterByExe(const std::string& name, bool byFullPath) {
    return FilterByExe(TProcessList(), name, byFullPath);
}

std::size_t TWindowList::FilterByExe(TProcessList processes, const std::string& name,
                                     bool byFullPath) {
    processes.FilterByExe(name, byFullPath);
    std::erase_if(items_,
                  [&](const TWindowItem& item) { return !processes.HasProcessID(item.ProcessID); });
    return items_.size();
}

std::size_t TWindowList::FilterByClassName(const std::vector<std::string>& names, int matchMode,
                                           bool caseSensitive) {
    return KeepMatching(items_, &TWindowItem::ClassName, names, matchMode, caseSensitive);
}

std::size_t TWindowList::FilterByText(const std::vector<std::string>& names, int matchMode,
                                      bool caseSensitive) {
    return KeepMatching(items_, &TWindowItem::Text, names, matchMode, caseSensitive);
}

int TWindowList::IndexOfHandle(TWindowHandle handle) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].Handle == handle) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool ForceForegroundWindow(TWindowHandle handle) {
    TDisplay display;
    if (!display.Ready()) {
        return false;
    }
    const auto clients = display.ClientList();
    if (!clients) {
        return false; // no window manager to ask
    }
    const xcb_window_t target = ManagedAncestor(display, *clients, handle);
    if (target == XCB_WINDOW_NONE) {
        return false;
    }
    // Watch the root window's properties before asking, so that the change is not missed.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(display.Connection(), display.Root(), XCB_CW_EVENT_MASK, &mask);
    if (ActiveWindow(display) == target) {
        return true;
    }
    // As a pager asks: window managers that hold back focus stealing still grant it.
    xcb_ewmh_request_change_active_window(display.Ewmh(), display.Screen(), target,
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          XCB_WINDOW_NONE);
    xcb_flush(display.Connection());
    const auto deadline = std::chrono::steady_clock::now() + kActivationBound;
    while (auto event = NextEvent(display.Connection(), deadline)) {
        if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) {
            continue;
        }
        const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
        if (change->atom == display.Ewmh()->_NET_ACTIVE_WINDOW && ActiveWindow(display) == target) {
            return true;
        }
    }
    return false;
}

long ActivateOtherInstance(const std::string& formClass, bool byFullPath,
                           const std::string& caption) {
    {
        TProcessList copies;
        if (copies.FilterByExe({}, byFullPath) <= 1) {
            return 0;
        }
    }
    TWindowList windows;
    windows.RemoveUntitled();
    windows.RemoveProcessIDs({static_cast<std::uint32_t>(::getpid())});
    windows.FilterByExe({}, byFullPath);
    windows.FilterByClassName({formClass}, 0, true);
    if (!caption.empty()) {
        windows.FilterByText({caption}, 0, true);
    }
    if (windows.Count() == 0) {
        return 0;
    }
    const TWindowHandle handle = windows.Items().front().Handle;
    ForceForegroundWindow(handle);
    return static_cast<long>(handle);
}

bool SetWindowClass(xcb_connection_t* connection, TWindowHandle handle, const std::string& instance,
                    const std::string& className) {
    if (connection == nullptr || xcb_connection_has_error(connection))
        return false;
    std::string value = instance;
    value += '\0';
    value += className;
    value += '\0';
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(handle),
                        XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(value.size()), value.data());
    return xcb_flush(connection) > 0;
}

bool SetWindowClass(TWindowHandle handle, const std::string& instance,
                    const std::string& className) {
    TDisplay display;
    return SetWindowClass(display.Connection(), handle, instance, className);
}
