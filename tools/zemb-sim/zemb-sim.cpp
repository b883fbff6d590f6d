// SPDX-License-Identifier: MIT
// zemb-sim: runs a command on simulated link devices, and `zemb-sim ctl`, its control client.
#include "SimControl.h"
#include "SimTestbed.h"
#include "base/UniqueFd.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
constexpr const char* kUsage = R"(NAME
    zemb-sim - run a program on simulated ZEMB link devices

SYNOPSIS
    zemb-sim --devices FILE [--control SOCKET] -- COMMAND [ARGS...]
    zemb-sim ctl [--control SOCKET] REQUEST...
    zemb-sim --help

DESCRIPTION
    zemb-sim creates a umockdev testbed holding the simulated link devices described in
    FILE, runs COMMAND inside it and serves the devices until COMMAND ends. COMMAND sees the
    devices through the real libudev and libusb (zemb-sim starts it with umockdev's preload
    library in LD_PRELOAD and the testbed in UMOCKDEV_DIR): libusb devices with a device node
    whose usbfs requests zemb-sim answers, and pipe-file devices with a device folder holding
    the FIFOs PIPE00 and PIPE01. Each device answers the link commands (RAM size, firmware
    version, device information, EEPROM write enable) from its settings and echoes every
    other byte sequence it receives.

    While COMMAND runs, `zemb-sim ctl` plugs and unplugs devices (the udev "add" and "remove"
    events a real device sends) and injects faults. zemb-sim exits with COMMAND's exit status
    (128 + N when COMMAND was ended by signal N) and removes its testbed, FIFOs and control
    socket on every way out. SIGINT, SIGTERM, SIGHUP and SIGQUIT are passed on to COMMAND.

OPTIONS
    --devices FILE     the device file (required)
    --control SOCKET   the control socket; default $XDG_RUNTIME_DIR/zemb-sim.sock, or
                       /tmp/zemb-sim-UID.sock without XDG_RUNTIME_DIR
    -h, --help         this text

CONTROL REQUESTS (zemb-sim ctl REQUEST)
    list                        one line per device: name, driver, plugged or unplugged,
                                LinkName, the fault in force
    plug NAME                   plug a device in
    unplug NAME                 pull a device out
    fault NAME KIND [COUNT]     inject a fault into the next COUNT transfers (none or 0:
                                until cleared). KIND is one of
                                  noreply    the command is taken, no reply follows
                                  short      the reply loses its second half
                                  wrongcode  the reply's first byte is wrong
                                  fail       the transfer fails with nothing moved (on
                                             pipe-file devices: the command is dropped)
                                  unplug     the device is pulled out after the next
                                             command, while the host waits for the reply
    fault NAME slow MS [COUNT]  replies come MS milliseconds late
    clear NAME                  end the device's fault

DEVICE FILE
    An INI file with one section per device; the section name is the device's NAME.
      Driver=silabs|winusb_silabs|winusb_st   pipe files, or libusb (required)
      VendorId=10c4  ProductId=83cc           four hex digits each (required)
      Instance=TEXT        USB serial-number string, the LinkName's instance; without it
                           the port path (1-N) stands in
      FriendlyName=TEXT    Description=TEXT   the names discovery shows
      InterfaceGuid={...}  default: the interface class of the driver's column (the Brisk
                           class for vid_10c4&pid_83cc)
      Firmware=2.04        major.minor, or the reply word (0x0204)
      RamSize=2304         the size the RAM-size reply carries (buffer size + 256)
      SerialNumber=N  HardwareRevision=N  FpgaRevision=N   the device-information reply
      Plugged=1|0          attached at start (default 1)

ENVIRONMENT
    COMMAND gets LD_PRELOAD (umockdev's preload library first), UMOCKDEV_DIR (the testbed)
    and ZEMB_SIM_CONTROL (the control socket), which `zemb-sim ctl` uses when --control is
    not given.

EXIT STATUS
    COMMAND's status; 2 for a usage error, a malformed device file or a control socket in
    use; 127 when COMMAND cannot be found or started. `zemb-sim ctl` exits 0 when the request
    succeeded, 1 when zemb-sim refused it, 2 when zemb-sim cannot be reached.

EXAMPLES
    zemb-sim --devices data/sim/demo.ini -- zemb-sim-probe
    zemb-sim --devices data/sim/demo.ini -- zemb-server &
    zemb-sim ctl unplug fenwy
    zemb-sim --devices data/sim/demo.ini -- dbus-run-session -- zemb-cli devices
        (a session bus inside the testbed: servers it activates see the devices too)
    zemb-sim ctl fault mirel slow 250 3
)";

constexpr int kUsageError = 2;
constexpr int kNotStarted = 127;

void Error(const std::string& message) {
    std::cerr << "zemb-sim: " << message << "\n";
}

std::string DefaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/zemb-sim.sock";
    return "/tmp/zemb-sim-" + std::to_string(::getuid()) + ".sock";
}

bool SocketAddress(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

TUniqueFd Connect(const std::string& path) {
    sockaddr_un addr;
    if (!SocketAddress(path, addr))
        return TUniqueFd();
    TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid() || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return TUniqueFd();
    return fd;
}

// The listening control socket; its file goes with it.
class TControlSocket {
public:
    // Binds `path`; a socket file nobody listens on any more is replaced, a live one is not.
    bool Open(const std::string& path, std::string& error) {
        sockaddr_un addr;
        if (!SocketAddress(path, addr)) {
            error = "control socket path '" + path + "' is empty or too long";
            return false;
        }
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                error = path + " exists and is not a socket";
                return false;
            }
            if (Connect(path).Valid()) {
                error = "another zemb-sim serves " + path + "; give --control SOCKET";
                return false;
            }
            ::unlink(path.c_str());
        }
        fd_ = TUniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        // Only this user may plug and break the devices.
        const mode_t oldMask = ::umask(0077);
        const bool bound =
            fd_.Valid() && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::umask(oldMask);
        if (!bound) {
            error = "cannot create the control socket " + path + ": " + std::strerror(errno);
            fd_.Close();
            return false;
        }
        path_ = path;
        if (::listen(fd_.Get(), 8) != 0) {
            error = "cannot listen on " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    ~TControlSocket() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    int Get() const { return fd_.Get(); }

private:
    TUniqueFd fd_;
    std::string path_;
};

struct TClient {
    TUniqueFd fd;
    std::string input;
};

// Reads what a client sent and answers each complete line; false when the client is done.
bool ServeClient(TClient& client, TSimTestbed& bed) {
    char buf[1024];
    const ssize_t n = ::recv(client.fd.Get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (n > 0)
        client.input.append(buf, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = client.input.find('\n')) != std::string::npos) {
        const std::string reply =
            SimControlReply(bed, std::string_view(client.input).substr(0, end));
        client.input.erase(0, end + 1);
        // Replies are short; a client that does not read them is dropped.
        if (::send(client.fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(reply.size()))
            return false;
    }
    return client.input.size() <= 4096;
}

// The file COMMAND names, found in PATH like a shell does; none when there is none.
std::optional<std::string> FindCommand(const std::string& command) {
    if (command.find('/') != std::string::npos)
        return ::access(command.c_str(), X_OK) == 0 ? std::optional(command) : std::nullopt;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        const std::string file = (dir.empty() ? std::string(".") : dir) + "/" + command;
        struct stat st;
        if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(file.c_str(), X_OK) == 0)
            return file;
        start = end + 1;
    }
    return std::nullopt;
}

// A program built with AddressSanitizer refuses to start when another library is preloaded
// before its runtime, unless told otherwise; the option means nothing to other programs.
void AllowAsanUnderPreload() {
    const char* old = std::getenv("ASAN_OPTIONS");
    std::string options = old ? old : "";
    if (options.find("verify_asan_link_order") != std::string::npos)
        return;
    options += options.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
}

// The child's environment: ours (UMOCKDEV_DIR included, the testbed set it) with umockdev's
// preload library first in LD_PRELOAD.
std::vector<std::string> ChildEnvironment(const std::string& socketPath) {
    std::vector<std::string> env;
    std::string preload = "libumockdev-preload.so.0";
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        if (entry.starts_with("LD_PRELOAD=")) {
            const std::string_view old = entry.substr(11);
            if (old.find("libumockdev-preload") != std::string_view::npos)
                preload = std::string(old);
            else if (!old.empty())
                preload += ":" + std::string(old);
            continue;
        }
        if (entry.starts_with("ZEMB_SIM_CONTROL="))
            continue;
        env.emplace_back(entry);
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ZEMB_SIM_CONTROL=" + socketPath);
    return env;
}

const int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int RunSimulator(const std::string& devicesFile, std::string socketPath,
                 const std::vector<std::string>& command) {
    std::string error;
    const auto devices = LoadSimDeviceFile(devicesFile, error);
    if (!devices) {
        Error(error);
        return kUsageError;
    }
    const auto program = FindCommand(command[0]);
    if (!program) {
        Error(command[0] + ": command not found");
        return kNotStarted;
    }
    if (socketPath.empty())
        socketPath = DefaultSocketPath();

    // An inherited "ignore" for SIGCHLD would reap the command unseen.
    struct sigaction dflChild {};
    dflChild.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &dflChild, nullptr);
    // Signals are taken through a signalfd; they are blocked before any thread starts, so
    // that none of the testbed's threads receives them instead.
    sigset_t handled, previous;
    sigemptyset(&handled);
    for (int s : kForwardedSignals)
        sigaddset(&handled, s);
    sigaddset(&handled, SIGCHLD);
    if (pthread_sigmask(SIG_BLOCK, &handled, &previous) != 0) {
        Error("cannot block signals");
        return kUsageError;
    }
    struct RestoreMask {
        sigset_t mask;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restoreMask{previous};
    TUniqueFd signals(::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals.Valid()) {
        Error(std::string("signalfd: ") + std::strerror(errno));
        return kUsageError;
    }

    TControlSocket control;
    if (!control.Open(socketPath, error)) {
        Error(error);
        return kUsageError;
    }
    std::optional<TSimTestbed> bed;
    try {
        bed.emplace();
    } catch (const std::exception& e) {
        Error(e.what());
        return kUsageError;
    }
    for (const auto& config : *devices) {
        if (!bed->AddDevice(config)) {
            Error("cannot create the simulated device " + config.Name);
            return kUsageError;
        }
    }

    // Everything the child needs is prepared before fork: after it only async-signal-safe
    // calls are allowed, the testbed's threads being gone there.
    AllowAsanUnderPreload();
    const std::vector<std::string> env = ChildEnvironment(socketPath);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string startError = "zemb-sim: cannot start " + command[0] + "\n";
    const pid_t parent = ::getpid();

    const pid_t child = ::fork();
    if (child < 0) {
        Error(std::string("fork: ") + std::strerror(errno));
        return kNotStarted;
    }
    if (child == 0) {
        // The command must not outlive the devices it runs on.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(kNotStarted);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::execve(program->c_str(), argv.data(), envp.data());
        [[maybe_unused]] auto w = ::write(STDERR_FILENO, startError.data(), startError.size());
        ::_exit(kNotStarted);
    }

    std::vector<TClient> clients;
    int status = 0;
    bool childDone = false;
    std::optional<std::chrono::steady_clock::time_point> killAt;
    while (!childDone) {
        std::vector<pollfd> fds{{signals.Get(), POLLIN, 0}, {control.Get(), POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c.fd.Get(), POLLIN, 0});
        int timeout = -1;
        if (killAt) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *killAt - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (killAt && std::chrono::steady_clock::now() >= *killAt) {
            ::kill(child, SIGKILL); // it ignored the signal passed on
            killAt.reset();
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (::read(signals.Get(), &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGCHLD)
                    continue;
                ::kill(child, static_cast<int>(info.ssi_signo));
                if (!killAt)
                    killAt = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            }
            const pid_t done = ::waitpid(child, &status, WNOHANG);
            if (done == child)
                childDone = true;
        }
        for (std::size_t i = clients.size(); i-- > 0;) {
            if ((fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                !ServeClient(clients[i], *bed))
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (fds[1].revents & POLLIN) {
            TUniqueFd client(
                ::accept4(control.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (client.Valid())
                clients.push_back({std::move(client), {}});
        }
    }
    if (!childDone) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

int RunCtl(const std::vector<std::string>& args) {
    std::string socketPath;
    std::size_t i = 0;
    if (i < args.size() && (args[i] == "--control" || args[i].starts_with("--control="))) {
        if (args[i] == "--control") {
            if (i + 1 >= args.size()) {
                Error("ctl: --control needs a SOCKET");
                return kUsageError;
            }
            socketPath = args[++i];
        } else {
            socketPath = args[i].substr(10);
        }
        ++i;
    }
    if (socketPath.empty()) {
        const char* fromEnv = std::getenv("ZEMB_SIM_CONTROL");
        socketPath = fromEnv && *fromEnv ? fromEnv : DefaultSocketPath();
    }
    if (i >= args.size()) {
        Error(
            "ctl: no request (list, plug NAME, unplug NAME, fault NAME KIND [COUNT], clear NAME)");
        return kUsageError;
    }
    std::string line;
    for (; i < args.size(); ++i) {
        if (args[i].find('\n') != std::string::npos) {
            Error("ctl: a request is one line");
            return kUsageError;
        }
        line += (line.empty() ? "" : " ") + args[i];
    }
    std::string parseError;
    if (!ParseSimControlLine(line, parseError)) {
        Error("ctl: " + parseError);
        return kUsageError;
    }
    TUniqueFd fd = Connect(socketPath);
    if (!fd.Valid()) {
        Error("ctl: cannot reach zemb-sim at " + socketPath + ": " + std::strerror(errno));
        return kUsageError;
    }
    line += "\n";
    if (::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        Error("ctl: cannot send the request");
        return kUsageError;
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::size_t start = 0, end;
        while ((end = reply.find('\n', start)) != std::string::npos) {
            const std::string_view l = std::string_view(reply).substr(start, end - start);
            if (l == "ok")
                return 0;
            if (l.starts_with("error: ")) {
                Error(std::string(l.substr(7)));
                return 1;
            }
            std::cout << l << "\n";
            start = end + 1;
        }
        reply.erase(0, start);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            Error("ctl: no reply from zemb-sim");
            return kUsageError;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n <= 0) {
            Error("ctl: zemb-sim closed the connection");
            return kUsageError;
        }
        reply.append(buf, static_cast<std::size_t>(n));
    }
}
} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "ctl")
        return RunCtl({args.begin() + 1, args.end()});
    std::string devices, socketPath;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--")
            break;
        const auto value = [&](const char* option, std::string& into) {
            const std::string prefix = std::string(option) + "=";
            if (a == option) {
                if (i + 1 >= args.size())
                    return false;
                into = args[++i];
                return true;
            }
            if (a.starts_with(prefix)) {
                into = a.substr(prefix.size());
                return true;
            }
            return false;
        };
        if (a == "--devices" || a.starts_with("--devices=")) {
            if (!value("--devices", devices)) {
                Error("--devices needs a FILE");
                return kUsageError;
            }
        } else if (a == "--control" || a.starts_with("--control=")) {
            if (!value("--control", socketPath)) {
                Error("--control needs a SOCKET");
                return kUsageError;
            }
        } else {
            Error("unexpected '" + a + "': the command follows '--' (see zemb-sim --help)");
            return kUsageError;
        }
    }
    if (devices.empty()) {
        Error("--devices FILE is required (see zemb-sim --help)");
        return kUsageError;
    }
    if (i >= args.size()) {
        Error("missing '--' and the command to run (see zemb-sim --help)");
        return kUsageError;
    }
    std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    if (command.empty()) {
        Error("no command after '--' (see zemb-sim --help)");
        return kUsageError;
    }
    // umockdev's testbed sends its udev events through the same libudev calls it redirects:
    // only under its preload library does it find its own devices. Run ourselves under it.
    if (!TSimTestbed::PreloadActive()) {
        if (std::getenv("ZEMB_SIM_PRELOADED")) {
            Error("umockdev's preload library (libumockdev-preload.so.0) cannot be loaded");
            return kUsageError;
        }
        const char* old = std::getenv("LD_PRELOAD");
        std::string preload = "libumockdev-preload.so.0";
        if (old && *old)
            preload += std::string(":") + old;
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("ZEMB_SIM_PRELOADED", "1", 1);
        AllowAsanUnderPreload();
        ::execv("/proc/self/exe", argv);
        Error(std::string("cannot restart under umockdev's preload library: ") +
              std::strerror(errno));
        return kUsageError;
    }
    ::unsetenv("ZEMB_SIM_PRELOADED");
    return RunSimulator(devices, socketPath, command);
}
