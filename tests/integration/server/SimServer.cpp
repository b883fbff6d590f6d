// SPDX-License-Identifier: MIT
#include "SimServer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;
constexpr const char* ServerName = "org.zemb.ZEMB";

// Waits at most `bound` for the child to end; its wait status, or nothing.
bool WaitForChild(pid_t pid, std::chrono::milliseconds bound, int& status) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0) {
        pollfd fd{pidFd, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(bound.count()));
        close(pidFd);
    }
    return waitpid(pid, &status, WNOHANG) == pid;
}

} // namespace

TSimServer::~TSimServer() {
    Stop();
    sd_bus_slot_unref(LogChanged_);
    if (Out_ >= 0)
        close(Out_);
    sd_bus_flush_close_unref(Bus_);
    if (!Folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(Folder_, ignored);
    }
}

bool TSimServer::Start(const TOptions& options, std::string& why) {
    char pattern[] = "/tmp/zemb-server-sim-XXXXXX";
    if (!mkdtemp(pattern)) {
        why = "no scratch folder";
        return false;
    }
    Folder_ = pattern;
    std::filesystem::create_directories(Folder_ + "/config");
    std::filesystem::create_directories(Folder_ + "/data");
    std::ofstream(Folder_ + "/devices.ini") << options.Devices;
    // Groups shown, so every line says which part of the server wrote it.
    std::ofstream(Folder_ + "/config/QUOREN.INI") << "[OutputDebugString]\r\n"
                                                     "ShowAssociatedGroup=1\r\n";
    if (!options.FenwyIni.empty())
        std::ofstream(Folder_ + "/config/FENWY.INI") << options.FenwyIni;

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("ZEMB_CONFIG_DIR=", 0) != 0 && entry.rfind("ZEMB_SYSTEM_DIR=", 0) != 0 &&
            entry.rfind("XDG_DATA_HOME=", 0) != 0)
            env.push_back(entry);
    }
    // Nothing of the machine's own: no /etc/Zalto.ini, no user data folder.
    env.push_back("ZEMB_CONFIG_DIR=" + Folder_ + "/config");
    env.push_back("ZEMB_SYSTEM_DIR=" + Folder_ + "/config");
    env.push_back("XDG_DATA_HOME=" + Folder_ + "/data");
    std::vector<std::string> args = {
        ZEMB_SIM, "--devices", Folder_ + "/devices.ini", "--control", Folder_ + "/control.sock",
        "--",     ZEMB_SERVER};
    std::vector<char*> argv, envp;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) < 0) {
        why = "no pipe";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    const int spawned = posix_spawn(&Pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    Out_ = pipeFds[0];
    fcntl(Out_, F_SETFL, O_NONBLOCK);
    if (spawned != 0) {
        Pid_ = -1;
        why = "zemb-sim cannot be started";
        return false;
    }
    return WaitForName(std::chrono::seconds(20), why);
}

bool TSimServer::WaitForNameGone(const std::string& name, std::chrono::milliseconds bound) {
    if (!Bus_)
        return false;
    // The owner change wakes the wait below; the name is checked after every wake.
    sd_bus_slot* match = nullptr;
    sd_bus_match_signal(Bus_, &match, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
    const auto deadline = TClock::now() + bound;
    bool gone = false;
    for (;;) {
        int has = 1;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(Bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               name.c_str()) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (!has) {
            gone = true;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now());
        if (left.count() <= 0)
            break;
        while (sd_bus_process(Bus_, nullptr) > 0) {
        }
        sd_bus_wait(Bus_, std::min<std::uint64_t>(left.count(), 100'000));
    }
    sd_bus_slot_unref(match);
    return gone;
}

bool TSimServer::WaitForName(std::chrono::milliseconds bound, std::string& why) {
    if (sd_bus_open_user(&Bus_) < 0) {
        why = "no session bus";
        return false;
    }
    // The owner change wakes the wait below; the name is checked after every wake.
    sd_bus_slot* match = nullptr;
    sd_bus_match_signal(Bus_, &match, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
    const auto deadline = TClock::now() + bound;
    bool owned = false;
    for (;;) {
        int has = 0;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(Bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               ServerName) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (has) {
            owned = true;
            break;
        }
        int status = 0;
        if (waitpid(Pid_, &status, WNOHANG) == Pid_) {
            Pid_ = -1;
            why = "the server ended before it owned its name";
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now());
        if (left.count() <= 0) {
            why = "the server did not take its name in time";
            break;
        }
        Drain();
        while (sd_bus_process(Bus_, nullptr) > 0) {
        }
        // At most a tenth of a second, so a server that dies silently is noticed.
        sd_bus_wait(Bus_, std::min<std::uint64_t>(left.count(), 100'000));
    }
    sd_bus_slot_unref(match);
    sd_bus_match_signal(
        Bus_, &LogChanged_, nullptr, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
        "CommunicationLogChanged",
        [](sd_bus_message*, void* self, sd_bus_error*) {
            ++static_cast<TSimServer*>(self)->LogChanges_;
            return 0;
        },
        this);
    if (!owned) {
        Drain();
        for (const std::string& line : Lines_)
            why += "\n  " + line;
    }
    return owned;
}

int TSimServer::Stop() {
    if (Pid_ < 0)
        return -1;
    int status = 0;
    kill(Pid_, SIGTERM);
    if (!WaitForChild(Pid_, std::chrono::seconds(10), status)) {
        kill(Pid_, SIGKILL);
        waitpid(Pid_, &status, 0);
        Pid_ = -1;
        return -1;
    }
    Pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TSimServer::Drain() {
    if (Out_ < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(Out_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        Pending_.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t end;
    while ((end = Pending_.find('\n')) != std::string::npos) {
        Lines_.push_back(Pending_.substr(0, end));
        Pending_.erase(0, end + 1);
    }
}

std::vector<std::string> TSimServer::TakeDebugLines() {
    Drain();
    std::vector<std::string> lines;
    lines.swap(Lines_);
    return lines;
}

std::vector<std::string> TSimServer::TakeServerTraces() {
    std::vector<std::string> traces;
    for (std::string& line : TakeDebugLines())
        for (const char* group :
             {"[RUVAzerComm3] ", "[RUVAzerCommTraffic] ", "[RUVAzer Comm] ", "[] "})
            if (line.rfind(group, 0) == 0) {
                traces.push_back(std::move(line));
                break;
            }
    return traces;
}

bool TSimServer::CommunicationLog(std::vector<std::string>& lines) {
    lines.clear();
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char** strv = nullptr;
    const bool ok = sd_bus_call_method(Bus_, ServerName, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
                                       "GetCommunicationLog", &error, &reply, "") >= 0 &&
                    sd_bus_message_read_strv(reply, &strv) >= 0;
    for (char** s = strv; s && *s; ++s) {
        lines.emplace_back(*s);
        std::free(*s);
    }
    std::free(strv);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return ok;
}

std::vector<std::string> TSimServer::CommunicationLog() {
    std::vector<std::string> lines;
    if (!CommunicationLog(lines))
        lines = {"<the operator interface did not answer>"};
    return lines;
}

std::vector<std::string> TSimServer::CommunicationLogFrom(std::size_t from) {
    std::vector<std::string> lines = CommunicationLog();
    if (from >= lines.size())
        return {};
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
}

bool TSimServer::ClearCommunicationLog() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(Bus_, ServerName, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
                                     "ClearCommunicationLog", &error, nullptr, "");
    sd_bus_error_free(&error);
    return r >= 0;
}

int TSimServer::LogChangeSignals(int atLeast, std::chrono::milliseconds bound) {
    const auto deadline = TClock::now() + bound;
    for (;;) {
        while (sd_bus_process(Bus_, nullptr) > 0) {
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now());
        if (LogChanges_ >= atLeast || left.count() <= 0)
            return LogChanges_;
        sd_bus_wait(Bus_, static_cast<std::uint64_t>(left.count()));
    }
}

bool TSimServer::Control(const std::vector<std::string>& request) {
    std::vector<std::string> args = {ZEMB_SIM, "ctl", "--control", Folder_ + "/control.sock"};
    args.insert(args.end(), request.begin(), request.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    if (!WaitForChild(pid, std::chrono::seconds(10), status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
