// SPDX-License-Identifier: MIT
#include "base/StartupEffects.h"

#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "base/OperatorMessages.h"
#include "base/ProcessList.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "base/VersionRecord.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {
// The box driver's watchdog log, kept in memory from start to end when its settings ask.
std::optional<std::vector<std::string>>& WatchdogLog() {
    static std::optional<std::vector<std::string>> log;
    return log;
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

void RunBoxDriverStartup() {
    TProfileFile zalto(SystemFolder() + "Zalto.ini");
    if (zalto.ReadBool("System", "FastProtocol", false)) {
        OperatorMessages().ShowInformation("FastProtocol setting in Zalto.ini ignored");
    }
    if (zalto.ReadBool("MessageProcessing", "WriteToLog", false)) {
        std::vector<std::string> lines;
        std::ifstream in(WatchdogLogFileName());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(std::move(line));
        }
        WatchdogLog() = std::move(lines);
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

std::string WatchdogLogFileName() {
    return "/var/tmp/zalto_wd.log";
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

void RunProgrammingLibraryStartup() {
    RunBoxDriverStartup();

    TProfileFile quoren(ExecutableFolder() + "QUOREN.INI");
    const bool logging = quoren.ReadBool("HAP_IF", "Logging", false);
    const bool permanentLogging = !logging && quoren.ReadBool("HAP_IF", "PermanentLogging", true);

    LoadDebugStringSettings();
    ForceDirectories(PerUserLogFolder());

    if (permanentLogging) {
        const std::string folder = PermanentLogFolder();
        if (ForceDirectories(folder)) {
            CleanPermanentLogFolder(folder, PermanentLogName(LocalToday()));
        }
    }
}

void FinishProgrammingLibrary() {
    if (!WatchdogLog()) {
        return;
    }
    // A file that cannot be written stays as it was.
    std::string path = WatchdogLogFileName();
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const std::string& line : *WatchdogLog()) {
            out << line << "\n";
        }
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            WatchdogLog().reset();
            return;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
    }
    WatchdogLog().reset();
}
