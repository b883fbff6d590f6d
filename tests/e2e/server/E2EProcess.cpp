// SPDX-License-Identifier: MIT
#include "E2EProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

extern char** environ;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

TProcess::~TProcess() {
    if (Pid_ > 0 && !Ended_) {
        ::kill(Pid_, SIGKILL);
        ::waitpid(Pid_, nullptr, 0);
    }
    if (Out_ >= 0)
        ::close(Out_);
}

bool TProcess::Start(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, const std::string* input) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env) {
        if (value.empty())
            merged.erase(key);
        else
            merged[key] = value;
    }
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged)
        envText.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& a : argvCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    Pid_ = ::fork();
    if (Pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        // The child starts with no signal blocked, whatever the test's thread had.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    if (Pid_ < 0) {
        ::close(out[0]);
        ::close(in[1]);
        return false;
    }
    Out_ = out[0];
    if (input) {
        // Small inputs only: they fit into the pipe without the child reading.
        ssize_t written = ::write(in[1], input->data(), input->size());
        (void)written;
    }
    ::close(in[1]);
    return true;
}

bool TProcess::ReadSome(int timeoutMs) {
    if (Out_ < 0)
        return false;
    pollfd fd{Out_, POLLIN, 0};
    int ready = ::poll(&fd, 1, timeoutMs);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    char buffer[4096];
    ssize_t got = ::read(Out_, buffer, sizeof buffer);
    if (got <= 0) {
        ::close(Out_);
        Out_ = -1;
        return false;
    }
    Output_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

namespace {
// The text inside a complete line of output.
bool HasLine(const std::string& output, const std::string& text) {
    auto at = output.find(text);
    return at != std::string::npos && output.find('\n', at) != std::string::npos;
}
} // namespace

bool TProcess::WaitForText(const std::string& text, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (HasLine(Output_, text))
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !ReadSome(static_cast<int>(std::min<long>(left, 100))))
            return HasLine(Output_, text);
    }
}

int TProcess::WaitForExit(std::chrono::milliseconds bound) {
    if (Ended_)
        return Status_;
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        // Keep the pipe drained so that a talkative child never blocks on it.
        ReadSome(20);
        int status = 0;
        pid_t r = ::waitpid(Pid_, &status, WNOHANG);
        if (r == Pid_) {
            // What is left in the pipe; a grandchild may hold it open, so no waiting.
            for (std::size_t before = Output_.size() + 1; before != Output_.size() && Out_ >= 0;) {
                before = Output_.size();
                ReadSome(0);
            }
            Ended_ = true;
            Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return Status_;
        }
        if (std::chrono::steady_clock::now() >= until)
            return -1;
    }
}

bool TProcess::Running() {
    if (Pid_ <= 0 || Ended_)
        return false;
    int status = 0;
    pid_t r = ::waitpid(Pid_, &status, WNOHANG);
    if (r == Pid_) {
        Ended_ = true;
        Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void TProcess::Signal(int signal) {
    if (Pid_ > 0 && !Ended_)
        ::kill(Pid_, signal);
}

TRunResult RunProgram(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env, const std::string& input) {
    TProcess process;
    TRunResult result;
    if (!process.Start(argv, env, input.empty() ? nullptr : &input))
        return result;
    result.Status = process.WaitForExit(EndBound);
    result.Output = process.Output();
    return result;
}

TPrivateBus::TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                         const std::map<std::string, std::string>& env) {
    std::ofstream(configFile)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:tmpdir=/tmp</listen>\n"
           "  <servicedir>"
        << serviceFolder
        << "</servicedir>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    // The daemon passes its environment on to the servers it activates.
    if (!Daemon_.Start({"/usr/bin/dbus-daemon", "--config-file=" + configFile, "--nofork",
                        "--print-address=1"},
                       env))
        return;
    if (!Daemon_.WaitForText("unix:", StartBound))
        return;
    const std::string& out = Daemon_.Output();
    // The address is the first line that looks like one (warnings may come first).
    std::size_t start = out.find("unix:");
    if (start == std::string::npos)
        return;
    Address_ = out.substr(start, out.find('\n', start) - start);
}

namespace {
struct TBusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using TBusPtr = std::unique_ptr<sd_bus, TBusCloser>;

TBusPtr OpenBus(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return nullptr;
    TBusPtr bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}
} // namespace

bool TPrivateBus::HasOwner(const std::string& name) {
    TBusPtr bus = OpenBus(Address_);
    if (!bus)
        return false;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int owned = 0;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name.c_str()) >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owned != 0;
}

pid_t TPrivateBus::OwnerPid(const std::string& name) {
    TBusPtr bus = OpenBus(Address_);
    if (!bus)
        return -1;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t pid = 0;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", &error, &reply,
                               "s", name.c_str());
    if (r >= 0)
        r = sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 ? static_cast<pid_t>(pid) : -1;
}
