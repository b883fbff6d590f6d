// SPDX-License-Identifier: MIT
#include "server/Registration.h"

#include "base/Text.h"
#include "contract/InterfaceTable.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool IsSwitch(std::string_view arg, std::string_view keyword) {
    return !arg.empty() && (arg[0] == '-' || arg[0] == '/') &&
           ZEMB::SameText(arg.substr(1), keyword);
}

std::string DataHome() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    std::string base;
    if (home && home[0] == '/') {
        base = home;
    } else if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) {
        base = pw->pw_dir;
    }
    return base + "/.local/share";
}

// Written beside the target and renamed over it, so the bus never reads half a file.
bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) {
        error = "cannot create " + fs::path(path).parent_path().string() + ": " + ec.message();
        return false;
    }
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + temp + ": " + std::strerror(errno);
            out.close();
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, path, ec);
    if (ec) {
        error = "cannot write " + path + ": " + ec.message();
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string& error) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) {
        error = "cannot remove " + path + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace

TStartMode FindStartMode(std::span<const std::string_view> args) {
    struct TKeyword {
        std::string_view Text;
        TStartMode Mode;
    };
    static constexpr std::array<TKeyword, 4> Keywords = {{
        {"AUTOMATION", TStartMode::smAutomation},
        {"EMBEDDING", TStartMode::smAutomation},
        {"REGSERVER", TStartMode::smRegServer},
        {"UNREGSERVER", TStartMode::smUnregServer},
    }};
    for (const TKeyword& k : Keywords)
        for (std::string_view arg : args)
            if (IsSwitch(arg, k.Text))
                return k.Mode;
    return TStartMode::smStandalone;
}

TStartMode FindStartMode(int argc, char* const* argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return FindStartMode(args);
}

std::string ServiceFilePath() {
    return DataHome() + "/dbus-1/services/" + std::string(ZEMB::BusName) + ".service";
}

std::string InterfaceFilePath() {
    return DataHome() + "/dbus-1/interfaces/" + std::string(ZEMB::BusName) + ".xml";
}

std::string ServiceFileText(std::string_view executablePath) {
    std::string exec(executablePath);
    bool quote = exec.find_first_of(" \t\"'\\$`") != std::string::npos;
    if (quote) {
        std::string quoted = "\"";
        for (char c : exec) {
            if (c == '"' || c == '\\' || c == '$' || c == '`')
                quoted += '\\';
            quoted += c;
        }
        exec = quoted + "\"";
    }
    std::string text =
        "[D-BUS Service]\nName=" + std::string(ZEMB::BusName) + "\nExec=" + exec + " -Embedding\n";
    // This file shadows the installed one, so it must keep the installed server's unit: a bus
    // run by systemd then starts the server as that unit, with its environment and logging.
    if (executablePath == ZEMB_INSTALLED_SERVER)
        text += "SystemdService=zemb-server.service\n";
    return text;
}

bool RegisterServer(std::string_view executablePath, std::string& error) {
    return WriteFile(ServiceFilePath(), ServiceFileText(executablePath), error) &&
           WriteFile(InterfaceFilePath(), ZEMB::AllInterfacesXml(), error);
}

bool UnregisterServer(std::string& error) {
    bool serviceRemoved = RemoveFile(ServiceFilePath(), error);
    bool interfaceRemoved = RemoveFile(InterfaceFilePath(), error);
    return serviceRemoved && interfaceRemoved;
}

bool UpdateRegistration(TStartMode mode, std::string_view executablePath, std::string& error) {
    std::string failure;
    bool ok = mode == TStartMode::smUnregServer ? UnregisterServer(failure)
                                                : RegisterServer(executablePath, failure);
    if (ok || mode != TStartMode::smRegServer)
        return true;
    error = "Registration failed: " + failure;
    return false;
}
