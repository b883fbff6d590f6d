// SPDX-License-Identifier: MIT
#include "base/DebugLog.h"

#include "base/ExecutablePaths.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "base/UniqueFd.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr const char* kSection = "OutputDebugString";

TDebugStringSettings& Settings() {
    static TDebugStringSettings settings;
    return settings;
}

// What a line needs from the settings, made once when they are loaded or replaced: the group
// lists split, the module's prefix, the log file's path and, once written to, its descriptor.
struct TPrepared {
    std::vector<std::string> Included{"All"};
    std::vector<std::string> Excluded;
    bool All = true;
    std::string Prefix; // "[module] " when ShowModule
    std::string Path;
    TUniqueFd File;
};

TPrepared& Prepared() {
    static TPrepared prepared;
    return prepared;
}

// Set at the first call while the log is enabled; elapsed times in the file count from it.
std::optional<std::chrono::steady_clock::time_point>& TimerBase() {
    static std::optional<std::chrono::steady_clock::time_point> base;
    return base;
}

// Lines for standard error held while a loop serves, so that many lines cost one write: whole
// lines, at most a pipe's atomic write, so lines of several processes on one terminal stay
// apart as with one write a line. Only the holding thread's lines wait; another thread's line
// goes out at once, after what is held.
struct THeldLines {
    std::mutex Mutex;
    std::optional<std::thread::id> Holder;
    std::string Lines;
};

THeldLines& Held() {
    static THeldLines held;
    return held;
}

void WriteHeld(THeldLines& held) {
    if (held.Lines.empty())
        return;
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, held.Lines.data(), held.Lines.size());
    held.Lines.clear();
}

void WriteToStandardError(std::string_view line, std::string_view group) {
    static const bool underSystemd = std::getenv("JOURNAL_STREAM") != nullptr;
    if (underSystemd) {
        std::string message(line);
        std::string groupField(group);
        sd_journal_send("MESSAGE=%s", message.c_str(), "ZEMB_GROUP=%s", groupField.c_str(),
                        "PRIORITY=%i", LOG_INFO, nullptr);
        return;
    }
    THeldLines& held = Held();
    const std::lock_guard lock(held.Mutex);
    if (held.Lines.size() + line.size() + 1 > PIPE_BUF)
        WriteHeld(held);
    held.Lines.append(line);
    held.Lines += '\n';
    if (held.Holder != std::this_thread::get_id())
        WriteHeld(held);
}

TDebugOutputSink& Sink() {
    static TDebugOutputSink sink = WriteToStandardError;
    return sink;
}

void DebugOutput(std::string_view line, std::string_view group) {
    if (Sink()) {
        Sink()(line, group);
    }
}

// True the first time a path is named; each failure is said once however often it recurs.
bool FirstReportOf(const std::string& path) {
    static std::set<std::string> reported;
    return reported.insert(path).second;
}

std::string NotCreatedLine(const std::string& path, const std::error_code& reason) {
    return "Cannot create " + path + ": " + reason.message();
}

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < ' ';
}

bool ListHolds(const std::vector<std::string>& items, std::string_view name) {
    for (const std::string& item : items) {
        if (ZEMB::SameText(item, name)) {
            return true;
        }
    }
    return false;
}

std::tm LocalNow(std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string SessionStartedLine() {
    auto now = std::chrono::system_clock::now();
    std::tm local = LocalNow(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    char text[160];
    std::snprintf(text, sizeof text, "[Session started at : %04d-%02d-%02d_%02d:%02d:%02d.%03d]",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(millis.count()));
    return text;
}

bool WriteAll(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The file stays open between lines; one deleted while the process runs (no link left) is
// created anew, with a new header.
void AppendToLogFile(const std::string& line) {
    TPrepared& prepared = Prepared();
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - *TimerBase());
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%.6f]", elapsed.count());
    std::string timed = std::string(stamp) + "\t" + line + "\r\n";

    struct stat status {};
    if (prepared.File.Valid() &&
        (::fstat(prepared.File.Get(), &status) != 0 || status.st_nlink == 0))
        prepared.File.Close();
    if (prepared.File.Valid()) {
        WriteAll(prepared.File.Get(), timed);
        return;
    }
    const std::string& path = prepared.Path;
    constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
    prepared.File = TUniqueFd(::open(path.c_str(), flags));
    if (prepared.File.Valid()) {
        WriteAll(prepared.File.Get(), timed);
        return;
    }
    ForceDirectories(Settings().LogDirectory);
    prepared.File = TUniqueFd(::open(path.c_str(), flags | O_CREAT, 0666));
    if (!prepared.File.Valid()) {
        // Straight to the debug output: the file is where the line would go otherwise.
        const std::error_code reason(errno, std::generic_category());
        if (FirstReportOf(path)) {
            DebugOutput(NotCreatedLine(path, reason), {});
        }
        return;
    }
    WriteAll(prepared.File.Get(),
             SessionStartedLine() + "\r\nTime (Seconds)\tOutputDebugString\r\n" + timed);
}
} // namespace

std::vector<std::string> SplitGroupList(std::string_view list) {
    std::vector<std::string> items;
    std::size_t pos = 0;
    const std::size_t n = list.size();
    while (pos < n && IsControl(list[pos])) {
        ++pos;
    }
    if (pos >= n) {
        return items;
    }
    for (;;) {
        std::string item;
        if (list[pos] == '"') {
            ++pos;
            while (pos < n) {
                if (list[pos] == '"') {
                    if (pos + 1 < n && list[pos + 1] == '"') {
                        item += '"';
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                item += list[pos++];
            }
        }
        while (pos < n && list[pos] != ',' && !IsControl(list[pos])) {
            item += list[pos++];
        }
        items.push_back(std::move(item));
        while (pos < n && IsControl(list[pos])) {
            ++pos;
        }
        if (pos >= n) {
            break;
        }
        if (list[pos] == ',') {
            ++pos;
            while (pos < n && IsControl(list[pos])) {
                ++pos;
            }
            if (pos >= n) {
                items.emplace_back(); // a comma at the very end adds an empty item
                break;
            }
        }
    }
    return items;
}

std::string DebugLogFileName(const std::tm& local) {
    char name[96];
    std::snprintf(name, sizeof name, "ODS_LogFile_%04d-%02d-%02d-%02d-%02d.ods",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min);
    return name;
}

void ReportNotCreated(const std::string& path, const std::error_code& reason) {
    if (FirstReportOf(path)) {
        ConfDebugString(NotCreatedLine(path, reason));
    }
}

const TDebugStringSettings& DebugStringSettings() {
    return Settings();
}

void SetDebugStringSettings(const TDebugStringSettings& settings) {
    Settings() = settings;
    TimerBase().reset();
    TPrepared& prepared = Prepared();
    prepared.Included = SplitGroupList(settings.IncludedGroups);
    prepared.Excluded = SplitGroupList(settings.ExcludedGroups);
    prepared.All = ListHolds(prepared.Included, "All");
    prepared.Prefix.clear();
    if (settings.ShowModule) {
        const std::string module = ExecutablePath();
        prepared.Prefix = "[" + (settings.ShowModulePath ? module : ExtractFileName(module)) + "] ";
    }
    prepared.Path = settings.LogDirectory + settings.LogFileName;
    prepared.File.Close(); // the next line opens the file the new settings name
}

void HoldDebugOutput(bool hold) {
    static const bool flushAtExit = std::atexit([] { FlushDebugOutput(); }) == 0;
    (void)flushAtExit;
    THeldLines& held = Held();
    const std::lock_guard lock(held.Mutex);
    WriteHeld(held);
    if (hold)
        held.Holder = std::this_thread::get_id();
    else
        held.Holder.reset();
}

void FlushDebugOutput() {
    THeldLines& held = Held();
    const std::lock_guard lock(held.Mutex);
    WriteHeld(held);
}

bool DebugOutputWaiting() {
    THeldLines& held = Held();
    const std::lock_guard lock(held.Mutex);
    return !held.Lines.empty();
}

TDebugOutputSink SetDebugOutputSink(TDebugOutputSink sink) {
    std::swap(sink, Sink());
    return sink;
}

void LoadDebugStringSettings() {
    TDebugStringSettings settings;
    settings.LogDirectory = ExecutableFolder();
    settings.LogFileName = DebugLogFileName(LocalNow(std::chrono::system_clock::now()));

    TProfileFile file(ExecutableFolder() + "QUOREN.INI");
    settings.Enabled = !file.ReadSection(kSection).empty();
    settings.ShowOnDebugOutput = !file.ReadBool(kSection, "DisableShow", false);
    settings.ShowAssociatedGroup = file.ReadBool(kSection, "ShowAssociatedGroup", false);
    settings.ShowModule = file.ReadBool(kSection, "ShowModule", false);
    settings.ShowModulePath = file.ReadBool(kSection, "ShowModulePath", false);
    settings.IncludedGroups = file.ReadString(kSection, "IncludedGroups", "All");
    settings.ExcludedGroups = file.ReadString(kSection, "ExcludedGroups", "");
    settings.WriteToFile = file.ReadBool(kSection, "WriteToFile", false);
    SetDebugStringSettings(settings);
}

void ConfDebugString(std::string_view text, std::string_view group) {
    const TDebugStringSettings& settings = Settings();
    if (!settings.Enabled) {
        DebugOutput(text, group);
        return;
    }
    if (!TimerBase()) {
        TimerBase() = std::chrono::steady_clock::now();
    }

    const TPrepared& prepared = Prepared();
    if (ListHolds(prepared.Excluded, group) ||
        !(prepared.All || ListHolds(prepared.Included, group))) {
        return;
    }

    std::string line;
    if (settings.ShowAssociatedGroup) {
        line += "[" + std::string(group) + "] ";
    }
    line += prepared.Prefix;
    line += text;

    if (settings.ShowOnDebugOutput) {
        DebugOutput(line, group);
    }
    if (settings.WriteToFile) {
        AppendToLogFile(line);
    }
}
