// SPDX-License-Identifier: MIT
#include "base/Settings.h"

#include "base/ExecutablePaths.h"
#include "base/ProfileFile.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr const char* kSection = "General";
}

TZEMBSettings& ZEMBSettings() {
    static TZEMBSettings settings;
    return settings;
}

std::string SettingsFileName() {
    return ExecutableFolder() + "FENWY.INI";
}

void ResetSettings() {
    ZEMBSettings() = TZEMBSettings{};
}

void LoadSettings() {
    ResetSettings();
    TProfileFile file(SettingsFileName());
    TZEMBSettings loaded;
    loaded.EnableEEPWrite = file.ReadBool(kSection, "EnableEEPWrite", false);
    loaded.ShowDeviceListLog = file.ReadBool(kSection, "ShowDeviceListLog", false);
    loaded.EnableSharedAccess = file.ReadBool(kSection, "EnableSharedAccess", false);
    loaded.CommunicationLogLines =
        std::max(file.ReadInteger(kSection, "CommunicationLogLines", 0), std::int32_t{0});
    ZEMBSettings() = loaded;
}

void SaveSettings() {
    TProfileFile file(SettingsFileName());
    const TZEMBSettings& settings = ZEMBSettings();
    file.WriteBool(kSection, "EnableEEPWrite", settings.EnableEEPWrite);
    file.WriteBool(kSection, "ShowDeviceListLog", settings.ShowDeviceListLog);
    file.WriteBool(kSection, "EnableSharedAccess", settings.EnableSharedAccess);
}

void DeleteSettings() {
    ResetSettings();
    std::remove(SettingsFileName().c_str());
}
