// SPDX-License-Identifier: MIT
#include "base/StartupEffects.h"

#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "base/OperatorMessages.h"
#include "base/ProcessList.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "base/UniqueFd.h"
#include "base/VersionRecord.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// The box driver's watchdog log, kept in memory from start to end when its settings ask,
// with the folder it was read from and goes back to.
struct TWatchdogLog {
    std::string Folder;
    std::vector<std::string> Lines;
};

std::optional<TWatchdogLog>& WatchdogLog() {
    static std::optional<TWatchdogLog> log;
    return log;
}

// The folder is shared by every user: a name there may be another user's link, pipe or file.
// Only a plain file of our own is read or replaced; empty reason: it may be used.
std::string WatchdogLogRefusal(const struct stat& status) {
    if (S_ISLNK(status.st_mode)) {
        return "a symbolic link";
    }
    if (!S_ISREG(status.st_mode)) {
        return "not a regular file";
    }
    if (status.st_uid != ::geteuid()) {
        return "owned by another user";
    }
    return {};
}

void SayWatchdogLogNotUsed(const std::string& path, const std::string& reason) {
    ConfDebugString("Watchdog log " + path + " not used: " + reason);
}

std::vector<std::string> ReadWatchdogLog(const std::string& path) {
    std::vector<std::string> lines;
    // Not blocking: a pipe planted there would hold the start up forever.
    TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno == ELOOP) {
            SayWatchdogLogNotUsed(path, "a symbolic link");
        } else if (errno != ENOENT) {
            SayWatchdogLogNotUsed(path, std::strerror(errno));
        }
        return lines;
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        SayWatchdogLogNotUsed(path, std::strerror(errno));
        return lines;
    }
    if (std::string reason = WatchdogLogRefusal(status); !reason.empty()) {
        SayWatchdogLogNotUsed(path, reason);
        return lines;
    }
    // A read error ends the file where it stops: what came before it is kept.
    std::string text;
    ReadToEnd(fd.Get(), text);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// A new file beside path under a name nobody can foresee: whatever another user left under a
// fixed name is never opened. The mode follows the umask, as for any file the server makes.
TUniqueFd CreateFileBeside(const std::string& path, std::string& temporary) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
        temporary = path + suffix;
        TUniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.Valid() || errno != EEXIST) {
            return fd;
        }
    }
    return TUniqueFd();
}

// Replaces the log at path by lines in one step (a reader sees the old or the new file); a
// log that may not be used, or cannot be written, stays as it was, and is said so when report.
void WriteWatchdogLog(const std::string& path, const std::vector<std::string>& lines, bool report) {
    const auto refuse = [&](const std::string& reason) {
        if (report) {
            SayWatchdogLogNotUsed(path, reason);
        }
    };
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (std::string reason = WatchdogLogRefusal(status); !reason.empty()) {
            refuse(reason);
            return;
        }
    } else if (errno != ENOENT) {
        refuse(std::strerror(errno));
        return;
    }
    std::string temporary;
    TUniqueFd fd = CreateFileBeside(path, temporary);
    if (!fd.Valid()) {
        refuse(std::strerror(errno));
        return;
    }
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    const bool written = WriteAll(fd.Get(), text);
    const int writeError = errno;
    if (!fd.Close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        refuse(std::strerror(written ? errno : writeError));
        ::unlink(temporary.c_str());
    }
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/tmp";
}

std::tm LocalToday() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

bool IsDailyLogName(const std::string& name) {
    const std::string upper = ZEMB::UpperCaseText(name);
    return upper.size() >= 10 && upper.starts_with("HA_LOG") && upper.ends_with(".HAJ");
}

// Writes the watchdog log, when kept, and frees it; a second call does nothing.
void FinishWatchdogLog(bool report) {
    if (!WatchdogLog()) {
        return;
    }
    WriteWatchdogLog(WatchdogLogFileName(WatchdogLog()->Folder), WatchdogLog()->Lines, report);
    WatchdogLog().reset();
}

// The process can end through exit() without passing its normal end: Qt's X11 platform calls
// exit(1) when the display connection breaks. The log is written then too. By this time the
// debug log's own objects may be gone already, so a failure is not said; the file stays as it
// was.
void FinishWatchdogLogAtExit() noexcept {
    try {
        FinishWatchdogLog(false);
    } catch (...) {
        // Out of memory while the process ends: nothing left to tell it to, the file stays.
    }
}

void RunBoxDriverStartup(const std::string& watchdogFolder) {
    TProfileFile zalto(SystemFolder() + "Zalto.ini");
    if (zalto.ReadBool("System", "FastProtocol", false)) {
        OperatorMessages().ShowInformation("FastProtocol setting in Zalto.ini ignored");
    }
    if (zalto.ReadBool("MessageProcessing", "WriteToLog", false)) {
        WatchdogLog() =
            TWatchdogLog{watchdogFolder, ReadWatchdogLog(WatchdogLogFileName(watchdogFolder))};
        // Registered after the log's object exists, so it runs before that object goes.
        [[maybe_unused]] static const bool atExit = std::atexit(FinishWatchdogLogAtExit) == 0;
    }
}
} // namespace

std::string PerUserLogFolder() {
    return ExecutableFolder() + "LOG/" + GetLocalUserName() + "_" + GetLocalComputerName() + "/";
}

std::string PermanentLogFolder() {
    std::string data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        data = xdg;
    } else {
        data = HomeFolder() + "/.local/share";
    }
    return data + "/Tavro/Vantor/";
}

std::string WatchdogLogFileName(const std::string& folder) {
    return folder + "zalto_wd.log";
}

std::string PermanentLogName(const std::tm& localDate) {
    char name[80];
    std::snprintf(name, sizeof name, "HA_Log%04d-%02d-%02d.haj", localDate.tm_year + 1900,
                  localDate.tm_mon + 1, localDate.tm_mday);
    return name;
}

int CleanPermanentLogFolder(const std::string& folder, const std::string& todaysName) {
    namespace fs = std::filesystem;
    int deleted = 0;
    for (;;) {
        std::optional<std::string> smallest;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            std::error_code statusError;
            // Only plain files in this very folder; a link could lead outside it.
            if (!fs::is_regular_file(entry.symlink_status(statusError))) {
                continue;
            }
            std::string name = entry.path().filename().string();
            if (IsDailyLogName(name) && (!smallest || name < *smallest)) {
                smallest = std::move(name);
            }
        }
        // Today's file stays, in whatever case its name is written.
        if (error || !smallest || ZEMB::SameText(*smallest, todaysName)) {
            return deleted;
        }
        if (!fs::remove(fs::path(folder) / *smallest, error) || error) {
            return deleted;
        }
        ++deleted;
    }
}

void RunProgrammingLibraryStartup(const std::string& watchdogFolder) {
    RunBoxDriverStartup(watchdogFolder);

    TProfileFile quoren(ExecutableFolder() + "QUOREN.INI");
    const bool logging = quoren.ReadBool("HAP_IF", "Logging", false);
    const bool permanentLogging = !logging && quoren.ReadBool("HAP_IF", "PermanentLogging", true);

    LoadDebugStringSettings();
    std::error_code reason;
    if (!ForceDirectories(PerUserLogFolder(), reason)) {
        ReportNotCreated(PerUserLogFolder(), reason);
    }

    if (permanentLogging) {
        const std::string folder = PermanentLogFolder();
        if (ForceDirectories(folder, reason)) {
            CleanPermanentLogFolder(folder, PermanentLogName(LocalToday()));
        } else {
            ReportNotCreated(folder, reason);
        }
    }
}

void FinishProgrammingLibrary() {
    FinishWatchdogLog(true);
}
