// SPDX-License-Identifier: MIT
// The server's figures, each a ratio against a baseline run beside it in the same run (absolute
// times move by a quarter between runs on a shared machine; ratios of two sides measured
// together hold). Runs inside `zemb-sim --devices bench/figures.ini` on a session bus of its
// own (scripts/bench.sh): it starts the server, a bare sd-bus echo server with TrafficStat's
// signatures, bare one-thread servers that do the transfers themselves (what the bus alone
// costs), two more bus daemons with a server each for the churn figure, and client processes
// for the throughput figure, and ends each by its pid.
//
//   zemb-figures [REPETITIONS [FIGURE...]]  the table (medians of 3 by default), or only the
//                                        figures named: throughput pair call churn idle
//   zemb-figures --echo                  the bare echo server (prints its unique name)
//   zemb-figures --bare INSTANCE         a bare one-thread server that does WriteBuffer and
//                                        ReadBuffer on that device itself, blocking (prints its
//                                        unique name)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <libudev.h>
#include <libusb.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zemb/ZEMBClient.h>

namespace {
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Everything started here, ended when this process ends by any way (a failure too); children
// of a throughput client are none of its business.
std::vector<pid_t>& Started() {
    static std::vector<pid_t> started;
    return started;
}
pid_t& Parent() {
    static pid_t parent = ::getpid();
    return parent;
}
void EndStarted() {
    if (::getpid() != Parent())
        return;
    for (pid_t pid : Started()) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    Started().clear();
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "zemb-figures: %s\n", what.c_str());
    std::exit(1);
}

void Check(int r, const std::string& what) {
    if (r < 0)
        Die(what + ": " + std::strerror(-r));
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A child process, ended by its pid.
struct TChild {
    pid_t Pid = -1;
    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() { Stop(); }
    void Stop() {
        if (Pid > 0) {
            ::kill(Pid, SIGTERM);
            ::waitpid(Pid, nullptr, 0);
            std::erase(Started(), Pid);
            Pid = -1;
        }
    }
};

// Runs argv with stderr (the server's trace lines) to /dev/null, the bus address set when given.
void Spawn(TChild& child, std::vector<std::string> argv, const std::string& busAddress = {},
           int stdoutFd = -1) {
    child.Pid = ::fork();
    if (child.Pid != 0) {
        Started().push_back(child.Pid);
        return;
    }
    if (!busAddress.empty())
        ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
    if (int null = ::open("/dev/null", O_WRONLY); null >= 0) {
        ::dup2(null, STDERR_FILENO);
        if (stdoutFd < 0)
            ::dup2(null, STDOUT_FILENO);
    }
    if (stdoutFd >= 0)
        ::dup2(stdoutFd, STDOUT_FILENO);
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

sd_bus* OpenBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) {
        Check(sd_bus_open_user(&bus), "session bus");
        return bus;
    }
    Check(sd_bus_new(&bus), "bus");
    Check(sd_bus_set_address(bus, address.c_str()), "bus address");
    Check(sd_bus_set_bus_client(bus, 1), "bus client");
    Check(sd_bus_start(bus), "bus at " + address);
    return bus;
}

// The unique name owning the server's well-known name, waited for up to 20 s.
std::string WaitForOwner(sd_bus* bus) {
    const std::string name(ZEMB::BusName);
    for (auto until = TClock::now() + 20s; TClock::now() < until;
         std::this_thread::sleep_for(50ms)) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* owner = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                               name.c_str()) >= 0 &&
            sd_bus_message_read(reply, "s", &owner) > 0) {
            std::string unique = owner;
            sd_bus_message_unref(reply);
            return unique;
        }
        sd_bus_error_free(&error);
    }
    Die("no server took " + name);
}

std::string Interface(int n) {
    return n == 1 ? "org.zemb.ZEMB.IZEMBServer" : "org.zemb.ZEMB.IZEMBServer" + std::to_string(n);
}

// One server object with an opened connection to the simulated device with that instance.
struct TServerSide {
    sd_bus* Bus = nullptr;
    std::string Dest, Path;
    std::int32_t ClientAppID = -1, ConnectID = -1;

    sd_bus_message* Call(int intf, const char* member, const char* types, ...) {
        sd_bus_message* call = nullptr;
        Check(sd_bus_message_new_method_call(Bus, &call, Dest.c_str(), Path.c_str(),
                                             Interface(intf).c_str(), member),
              member);
        va_list ap;
        va_start(ap, types);
        Check(sd_bus_message_appendv(call, types, ap), member);
        va_end(ap);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call(Bus, call, 30'000'000, &error, &reply);
        sd_bus_message_unref(call);
        if (r < 0)
            Die(std::string(member) + ": " + (error.message ? error.message : "failed"));
        return reply;
    }
    bool CallResult(int intf, const char* member, const char* replyTypes, std::int32_t* value,
                    const char* types, std::int32_t arg) {
        sd_bus_message* reply = Call(intf, member, types, arg);
        int result = 0;
        const int r = value ? sd_bus_message_read(reply, replyTypes, value, &result)
                            : sd_bus_message_read(reply, replyTypes, &result);
        sd_bus_message_unref(reply);
        return r > 0 && result;
    }

    void Create(sd_bus* bus, const std::string& dest) {
        Bus = bus;
        Dest = dest;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        if (sd_bus_call_method(bus, dest.c_str(), std::string(ZEMB::FactoryPath).c_str(),
                               std::string(ZEMB::ClassFactoryInterface).c_str(), "CreateInstance",
                               &error, &reply, "s",
                               std::string(ZEMB::CLASS_ZEMBServer4).c_str()) < 0 ||
            sd_bus_message_read(reply, "o", &path) <= 0)
            Die("CreateInstance: " + std::string(error.message ? error.message : "failed"));
        Path = path;
        sd_bus_message_unref(reply);
    }
    std::int32_t Hookup() {
        // An executable name of its own: no other running process takes its entry over.
        const std::string exe = "zemb-figures-" + std::to_string(::getpid());
        sd_bus_message* reply = Call(3, "HookupClientApp2", "yiss", std::uint8_t(ZEMB::aciVantor),
                                     std::int32_t(-1), "bench", exe.c_str());
        int result = 0;
        if (sd_bus_message_read(reply, "ib", &ClientAppID, &result) <= 0 || !result)
            Die("HookupClientApp2 failed");
        sd_bus_message_unref(reply);
        return ClientAppID;
    }
    // The DevID whose LinkName holds the instance.
    std::int32_t DevIDOf(const std::string& instance) {
        for (std::int32_t devId = 0; devId < 64; ++devId) {
            sd_bus_message* reply = Call(1, "DevInfo", "iy", devId, std::uint8_t(0));
            int active = 0, result = 0;
            const char* link = nullptr;
            const bool read = sd_bus_message_read(reply, "bs", &active, &link) > 0 &&
                              std::string(link).find(instance) != std::string::npos;
            sd_bus_message_unref(reply);
            (void)result;
            if (read)
                return devId;
        }
        Die("no device " + instance);
    }
    std::int32_t Connect(std::int32_t devId) {
        sd_bus_message* reply = Call(1, "ConnectDevice", "iiyo", ClientAppID, devId,
                                     std::uint8_t(ZEMB::cmExclusive), "/");
        std::int32_t connectId = -1;
        int result = 0;
        if (sd_bus_message_read(reply, "ib", &connectId, &result) <= 0 || !result)
            Die("ConnectDevice failed");
        sd_bus_message_unref(reply);
        return connectId;
    }
    void Open(sd_bus* bus, const std::string& dest, const std::string& instance) {
        Create(bus, dest);
        Hookup();
        ConnectID = Connect(DevIDOf(instance));
        if (!CallResult(1, "OpenDevice", "b", nullptr, "i", ConnectID))
            Die("OpenDevice failed on " + instance);
    }
    void TrafficStat() {
        sd_bus_message* reply = Call(1, "TrafficStat", "i", ConnectID);
        sd_bus_message_unref(reply);
    }
    bool Pair(const std::vector<std::uint8_t>& out) {
        sd_bus_message* reply = nullptr;
        {
            sd_bus_message* call = nullptr;
            Check(sd_bus_message_new_method_call(Bus, &call, Dest.c_str(), Path.c_str(),
                                                 Interface(1).c_str(), "WriteBuffer"),
                  "WriteBuffer");
            sd_bus_message_append(call, "i", ConnectID);
            sd_bus_message_append_array(call, 'y', out.data(), out.size());
            Check(sd_bus_call(Bus, call, 30'000'000, nullptr, &reply), "WriteBuffer");
            sd_bus_message_unref(call);
            sd_bus_message_unref(reply);
        }
        sd_bus_message* call = nullptr;
        Check(sd_bus_message_new_method_call(Bus, &call, Dest.c_str(), Path.c_str(),
                                             Interface(1).c_str(), "ReadBuffer"),
              "ReadBuffer");
        const std::vector<std::uint8_t> in(out.size(), 1);
        sd_bus_message_append(call, "i", ConnectID);
        sd_bus_message_append_array(call, 'y', in.data(), in.size());
        Check(sd_bus_call(Bus, call, 30'000'000, nullptr, &reply), "ReadBuffer");
        sd_bus_message_unref(call);
        const void* data = nullptr;
        std::size_t size = 0;
        const bool echoed = sd_bus_message_read_array(reply, 'y', &data, &size) >= 0 &&
                            size == out.size() && std::memcmp(data, out.data(), size) == 0;
        sd_bus_message_unref(reply);
        return echoed;
    }
};

// The same transfers done directly with libusb, as the server's transport does them: the
// device node found through udev by its serial number, wrapped, interface 0 claimed.
struct TDirectSide {
    libusb_context* Context = nullptr;
    libusb_device_handle* Handle = nullptr;
    int Fd = -1;

    void Open(const std::string& instance) {
        libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
        if (libusb_init(&Context) != 0)
            Die("libusb_init");
        udev* u = udev_new();
        udev_enumerate* e = udev_enumerate_new(u);
        udev_enumerate_add_match_subsystem(e, "usb");
        udev_enumerate_add_match_property(e, "ID_SERIAL_SHORT", instance.c_str());
        udev_enumerate_scan_devices(e);
        std::string node;
        for (udev_list_entry* item = udev_enumerate_get_list_entry(e); item && node.empty();
             item = udev_list_entry_get_next(item)) {
            udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(item));
            if (const char* name = d ? udev_device_get_devnode(d) : nullptr)
                node = name;
            udev_device_unref(d);
        }
        udev_enumerate_unref(e);
        udev_unref(u);
        if (node.empty() || (Fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC)) < 0)
            Die("no device node for " + instance);
        if (libusb_wrap_sys_device(Context, Fd, &Handle) != 0 ||
            libusb_claim_interface(Handle, 0) != 0)
            Die("cannot open " + instance + " with libusb");
    }
    bool Pair(std::vector<std::uint8_t>& out) {
        int moved = 0;
        std::vector<std::uint8_t> in(out.size(), 1);
        return libusb_bulk_transfer(Handle, 0x02, out.data(), static_cast<int>(out.size()), &moved,
                                    5000) == 0 &&
               libusb_bulk_transfer(Handle, 0x81, in.data(), static_cast<int>(in.size()), &moved,
                                    5000) == 0 &&
               in == out;
    }
};

// Calls the sides one by one, in turn forwards and backwards (ABBA, ABCCBA), n of each after a
// warm-up; the median time per call of each side, in µs.
std::vector<double> Rotate(const std::vector<std::function<void()>>& sides, int n) {
    for (int i = 0; i < n / 10; ++i)
        for (const auto& side : sides)
            side();
    std::vector<std::vector<double>> times(sides.size());
    for (auto& t : times)
        t.reserve(n);
    for (int i = 0; i < n; ++i)
        for (std::size_t k = 0; k < sides.size(); ++k) {
            const std::size_t at = i % 2 == 0 ? k : sides.size() - 1 - k;
            const auto start = TClock::now();
            sides[at]();
            times[at].push_back(
                std::chrono::duration<double, std::micro>(TClock::now() - start).count());
        }
    std::vector<double> medians;
    for (auto& t : times)
        medians.push_back(Median(std::move(t)));
    return medians;
}

std::pair<double, double> Abba(const std::function<void()>& a, const std::function<void()>& b,
                               int n) {
    const std::vector<double> m = Rotate({a, b}, n);
    return {m[0], m[1]};
}

struct TFigure {
    TFigure(std::string name, std::string unit, std::string goal)
        : Name(std::move(name)), Unit(std::move(unit)), Goal(std::move(goal)) {}
    std::string Name, Unit, Goal;
    std::vector<double> Server, Baseline, Ratio;
    // CPU per call of the server's and the baseline's process, where both are processes apart.
    std::vector<double> ServerCpu, BaselineCpu;
};

void Print(const std::vector<TFigure>& figures) {
    std::printf("| figure | server | baseline | ratio | goal | CPU per call, server / baseline "
                "|\n|---|---|---|---|---|---|\n");
    for (const TFigure& f : figures) {
        if (f.Ratio.empty())
            continue;
        std::string cpu = "";
        if (!f.ServerCpu.empty()) {
            char text[64];
            std::snprintf(text, sizeof text, "%.1f us / %.1f us", Median(f.ServerCpu),
                          Median(f.BaselineCpu));
            cpu = text;
        }
        std::printf("| %s | %.1f %s | %.1f %s | %.2f | %s | %s |\n", f.Name.c_str(),
                    Median(f.Server), f.Unit.c_str(), Median(f.Baseline), f.Unit.c_str(),
                    Median(f.Ratio), f.Goal.c_str(), cpu.c_str());
    }
}

// Calls f with the id and /proc folder of every thread of a process; false when it is gone.
bool ForEachThread(pid_t pid, const std::function<void(pid_t, const std::string&)>& f) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return false;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            f(std::atoi(entry->d_name), tasks + "/" + entry->d_name);
    ::closedir(dir);
    return true;
}

// Context switches of every thread of a process so far: its wake-ups.
long WakeUps(pid_t pid) {
    long total = 0;
    const bool found = ForEachThread(pid, [&](pid_t, const std::string& task) {
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:"))
                total += std::stol(line.substr(line.find(':') + 1));
    });
    return found ? total : -1;
}

// CPU time of every thread of a process so far, in µs.
double CpuMicros(pid_t pid) {
    double total = 0;
    ForEachThread(pid, [&](pid_t, const std::string& task) {
        std::ifstream schedstat(task + "/schedstat");
        double ns = 0;
        if (schedstat >> ns)
            total += ns / 1000;
    });
    return total;
}

// Runs every thread of a process on one CPU, or on all of them (cpu < 0).
void Place(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    for (long c = 0; c < cpus; ++c)
        if (cpu < 0 || c == cpu)
            CPU_SET(c, &set);
    ForEachThread(pid, [&](pid_t thread, const std::string&) {
        ::sched_setaffinity(thread, sizeof set, &set);
    });
}

// The machine's own cost of waking another process: a byte there and back through two pipes
// between two processes, on one CPU (a and b alike) or on two; the mean round trip in µs. On a
// virtual machine, waking a thread on a CPU that is idle can cost many times what the work of
// a call does, and this cost moves from hour to hour; every figure that wakes another process
// carries it.
double WakeRoundTrip(int a, int b) {
    int there[2], back[2];
    if (::pipe(there) != 0 || ::pipe(back) != 0)
        Die("pipe");
    constexpr int Trips = 2000;
    const pid_t child = ::fork();
    if (child == 0) {
        Place(::getpid(), b);
        char byte = 0;
        for (int i = 0; i < Trips; ++i)
            if (::read(there[0], &byte, 1) != 1 || ::write(back[1], &byte, 1) != 1)
                ::_exit(1);
        ::_exit(0);
    }
    Place(::getpid(), a);
    char byte = 0;
    const auto start = TClock::now();
    for (int i = 0; i < Trips; ++i)
        if (::write(there[1], &byte, 1) != 1 || ::read(back[0], &byte, 1) != 1)
            Die("the wake-up probe");
    const double micros =
        std::chrono::duration<double, std::micro>(TClock::now() - start).count() / Trips;
    ::waitpid(child, nullptr, 0);
    for (int fd : {there[0], there[1], back[0], back[1]})
        ::close(fd);
    Place(::getpid(), -1);
    return micros;
}

// The pid of the bus daemon behind a connection.
pid_t DaemonPid(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::uint32_t pid = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixProcessID", &error, &reply,
                           "s", "org.freedesktop.DBus") < 0 ||
        sd_bus_message_read(reply, "u", &pid) <= 0)
        Die("GetConnectionUnixProcessID: " + std::string(error.message ? error.message : "failed"));
    sd_bus_message_unref(reply);
    return static_cast<pid_t>(pid);
}

// --echo: the baseline server, sd-bus on sd-event as a plain service would be written; --bare:
// the same with WriteBuffer and ReadBuffer done with libusb on the spot.
TDirectSide& BareDevice() {
    static TDirectSide device;
    return device;
}

// The (i, ay) of WriteBuffer and ReadBuffer: the bytes, and how many.
std::pair<const void*, std::size_t> BytesOf(sd_bus_message* m) {
    std::int32_t id = 0;
    const void* data = nullptr;
    std::size_t size = 0;
    sd_bus_message_read(m, "i", &id);
    sd_bus_message_read_array(m, 'y', &data, &size);
    return {data, size};
}

int RunEcho(const std::string& bareInstance) {
    sd_bus* bus = OpenBus({});
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(
            "TrafficStat", "i", "iib",
            [](sd_bus_message* m, void*, sd_bus_error*) -> int {
                std::int32_t id = 0;
                sd_bus_message_read(m, "i", &id);
                return sd_bus_reply_method_return(m, "iib", 0, 0, 1);
            },
            0),
        SD_BUS_METHOD(
            "WriteBuffer", "iay", "ib",
            [](sd_bus_message* m, void*, sd_bus_error*) -> int {
                const auto bytes = BytesOf(m);
                int moved = 0;
                const bool done = libusb_bulk_transfer(
                                      BareDevice().Handle, 0x02,
                                      static_cast<unsigned char*>(const_cast<void*>(bytes.first)),
                                      static_cast<int>(bytes.second), &moved, 5000) == 0;
                return sd_bus_reply_method_return(m, "ib", moved, done);
            },
            0),
        SD_BUS_METHOD(
            "ReadBuffer", "iay", "ayib",
            [](sd_bus_message* m, void*, sd_bus_error*) -> int {
                std::vector<std::uint8_t> in(BytesOf(m).second);
                int moved = 0;
                const bool done =
                    libusb_bulk_transfer(BareDevice().Handle, 0x81, in.data(),
                                         static_cast<int>(in.size()), &moved, 5000) == 0;
                sd_bus_message* reply = nullptr;
                int r = sd_bus_message_new_method_return(m, &reply);
                if (r >= 0)
                    r = sd_bus_message_append_array(reply, 'y', in.data(),
                                                    static_cast<std::size_t>(moved));
                if (r >= 0)
                    r = sd_bus_message_append(reply, "ib", moved, done);
                if (r >= 0)
                    r = sd_bus_send(nullptr, reply, nullptr);
                sd_bus_message_unref(reply);
                return r;
            },
            0),
        SD_BUS_VTABLE_END};
    if (!bareInstance.empty())
        BareDevice().Open(bareInstance);
    Check(sd_bus_add_object_vtable(bus, nullptr, "/echo", "org.zemb.ZEMB.IZEMBServer", vtable,
                                   nullptr),
          "vtable");
    const char* unique = nullptr;
    Check(sd_bus_get_unique_name(bus, &unique), "unique name");
    std::printf("%s\n", unique);
    std::fflush(stdout);
    sd_event* event = nullptr;
    Check(sd_event_default(&event), "event");
    Check(sd_bus_attach_event(bus, event, 0), "attach");
    return sd_event_loop(event);
}

// One throughput client: a server connection, a direct device and a bare server of its own;
// per command from the parent ("s", "d" or "b" and a window in ms) it makes pairs on that side
// until the window ends and writes how many.
[[noreturn]] void RunThroughputClient(int commands, int results, const std::string& dest,
                                      const std::string& served, const std::string& direct,
                                      const std::string& bareDest) {
    sd_bus* bus = OpenBus({});
    TServerSide server;
    server.Open(bus, dest, served);
    TDirectSide device;
    device.Open(direct);
    TServerSide bare;
    bare.Bus = bus;
    bare.Dest = bareDest;
    bare.Path = "/echo";
    std::vector<std::uint8_t> out(64, 0x42);
    char ready = 'r';
    if (::write(results, &ready, 1) != 1)
        ::_exit(1);
    char side = 0;
    int windowMs = 0;
    while (::read(commands, &side, 1) == 1 && ::read(commands, &windowMs, sizeof windowMs) > 0) {
        long pairs = 0;
        const auto until = TClock::now() + std::chrono::milliseconds(windowMs);
        while (TClock::now() < until) {
            if (!(side == 's' ? server.Pair(out) : side == 'd' ? device.Pair(out) : bare.Pair(out)))
                ::_exit(2);
            ++pairs;
        }
        if (::write(results, &pairs, sizeof pairs) != sizeof pairs)
            ::_exit(1);
    }
    ::_exit(0);
}

int RunFigures(const std::string& serverPath, int repetitions,
               const std::vector<std::string>& only) {
    auto wanted = [&only](const char* figure) {
        return only.empty() || std::find(only.begin(), only.end(), figure) != only.end();
    };
    const std::string self = "/proc/self/exe";
    // The server, and the baseline echo server.
    TChild server, echo;
    Spawn(server, {serverPath, "--no-window"});
    int echoOut[2];
    if (::pipe(echoOut) != 0)
        Die("pipe");
    char exe[4096] = {};
    if (::readlink(self.c_str(), exe, sizeof exe - 1) <= 0)
        Die("readlink");
    Spawn(echo, {exe, "--echo"}, {}, echoOut[1]);
    ::close(echoOut[1]);
    char line[256] = {};
    if (::read(echoOut[0], line, sizeof line - 1) <= 0)
        Die("echo server did not start");
    const std::string echoName = std::string(line).substr(0, std::string(line).find('\n'));

    sd_bus* bus = OpenBus({});
    const std::string dest = WaitForOwner(bus);
    // Two more bus daemons, each with a server of its own, started alike: the churn goes to one,
    // the other stays fresh. Their figure compares the two, not the session bus's server, whose
    // bus carries more connections.
    char folder[] = "/tmp/zemb-figures-XXXXXX";
    if (!::mkdtemp(folder))
        Die("mkdtemp");
    struct TPrivate {
        TChild Daemon, Server;
        sd_bus* Bus = nullptr;
        std::string Dest;
    };
    auto startPrivate = [&](TPrivate& p, const std::string& name) {
        const std::string socket = std::string(folder) + "/" + name;
        const std::string address = "unix:path=" + socket;
        Spawn(p.Daemon,
              {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
        for (auto until = TClock::now() + 10s; !p.Bus && TClock::now() < until;) {
            struct stat s {};
            if (::stat(socket.c_str(), &s) == 0)
                p.Bus = OpenBus(address);
            else
                std::this_thread::sleep_for(20ms);
        }
        if (!p.Bus)
            Die("no bus at " + address);
        Spawn(p.Server, {serverPath, "--no-window"}, address);
        p.Dest = WaitForOwner(p.Bus);
    };
    TPrivate churnedBus, freshBus;
    startPrivate(churnedBus, "churned");
    startPrivate(freshBus, "fresh");

    // A bare one-thread server on a device of its own, and its unique name.
    auto startBare = [&exe](TChild& bare, const std::string& instance) {
        int out[2];
        if (::pipe(out) != 0)
            Die("pipe");
        Spawn(bare, {exe, "--bare", instance}, {}, out[1]);
        ::close(out[1]);
        char line[256] = {};
        const bool started = ::read(out[0], line, sizeof line - 1) > 0;
        ::close(out[0]);
        if (!started)
            Die("the bare server on " + instance + " did not start");
        return std::string(line).substr(0, std::string(line).find('\n'));
    };

    // The throughput clients, before anything here opens a device; each with a bare server of
    // its own on a device of its own.
    std::vector<TChild> bares(4);
    struct TClient {
        TChild Process;
        int Commands = -1, Results = -1;
    };
    std::vector<TClient> clients(4);
    for (int i = 0; i < 4; ++i) {
        int c[2], r[2];
        if (::pipe(c) != 0 || ::pipe(r) != 0)
            Die("pipe");
        const std::string bareDest = startBare(bares[i], "FWYBNB" + std::to_string(i) + "01007");
        clients[i].Process.Pid = ::fork();
        Started().push_back(clients[i].Process.Pid);
        if (clients[i].Process.Pid == 0)
            RunThroughputClient(c[0], r[1], dest, "FWYBNS" + std::to_string(i) + "01007",
                                "FWYBND" + std::to_string(i) + "01007", bareDest);
        ::close(c[0]);
        ::close(r[1]);
        clients[i].Commands = c[1];
        clients[i].Results = r[0];
        char ready = 0;
        if (::read(r[0], &ready, 1) != 1)
            Die("a throughput client did not start");
    }

    TServerSide fresh;
    fresh.Open(bus, dest, "FWYBNLA01007");
    TDirectSide direct;
    direct.Open("FWYBNLD01007");
    TChild bare;
    TServerSide bareSide;
    bareSide.Bus = bus;
    bareSide.Dest = startBare(bare, "FWYBNLB01007");
    bareSide.Path = "/echo";
    TServerSide echoSide;
    echoSide.Bus = bus;
    echoSide.Dest = echoName;
    echoSide.Path = "/echo";
    echoSide.ConnectID = fresh.ConnectID;

    // The churn: 10,000 clients each hooked up, connected, disconnected and unhooked, then the
    // connection measured (the newest, as a live one is).
    TServerSide freshToo;
    freshToo.Open(freshBus.Bus, freshBus.Dest, "FWYBNCF01007");
    TServerSide churned;
    churned.Create(churnedBus.Bus, churnedBus.Dest);
    const std::int32_t churnDev = churned.DevIDOf("FWYBNCB01007");
    for (int i = 0; i < 10000; ++i) {
        churned.Hookup();
        const std::int32_t id = churned.Connect(churnDev);
        churned.CallResult(1, "DisconnectDevice", "b", nullptr, "i", id);
        churned.CallResult(1, "UnhookClientApp", "b", nullptr, "i", churned.ClientAppID);
    }
    churned.Hookup();
    churned.ConnectID = churned.Connect(churnDev);
    if (!churned.CallResult(1, "OpenDevice", "b", nullptr, "i", churned.ConnectID))
        Die("OpenDevice failed after the churn");

    const bool place = ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
    const double wakeAcross = place ? WakeRoundTrip(0, 1) : 0;
    std::fprintf(stderr, "zemb-figures: measuring\n");
    TFigure throughput("4 clients x 4 devices, write 64 B + read 64 B, pairs/s, vs 4 processes "
                       "doing them directly with libusb",
                       "pairs/s", ">= 0.80");
    // What the bus alone costs: the same transfers through bare servers that do nothing else,
    // against the direct ones; a server that passes the transfers through the bus can at best
    // come level with them.
    TFigure throughputVsBare("the same vs 4 bare one-thread sd-bus servers, one per device, "
                             "doing those transfers themselves",
                             "pairs/s", "-");
    TFigure throughputBare("the same through 4 bare one-thread sd-bus servers, one per device, "
                           "vs the 4 direct processes",
                           "pairs/s", "-");
    TFigure pair("one write + read through the server vs directly with libusb", "us", "<= 1.15");
    TFigure pairBareDirect("the same through a bare one-thread sd-bus server vs directly", "us",
                           "-");
    TFigure pairBare("the same vs a bare one-thread sd-bus server doing those transfers itself",
                     "us", "-");
    TFigure call("TrafficStat vs a bare sd-bus echo of the same signatures", "us", "<= 1.03");
    TFigure churn("TrafficStat after 10,000 clients came and went vs a fresh server", "us",
                  "<= 1.05");
    TFigure idle("idle server: wake-ups while 10 programs join and leave the bus (vs none)", "",
                 "0");
    std::vector<std::uint8_t> out(64, 0x42);
    for (int rep = 0; rep < repetitions; ++rep) {
        double s = 0, b = 0;
        // Single calls on a fixed placement: left to the scheduler, where it happens to put each
        // side decides a call's time more than the side's own work does, and differently in
        // each run (a transfer through the server read anywhere from 0.99 to 1.17 times the
        // direct one). A frame-only call: the callers and the bus daemons on the first CPU, the
        // servers and the echo on the second, alike. A transfer: the simulator, which stands
        // for the device, on the second CPU alone, everything else on the first, so that every
        // side reaches the device the same way.
        const pid_t daemon = DaemonPid(bus);
        enum class TPlacement { Free, Split, Device };
        auto placeAll = [&](TPlacement placement) {
            if (!place)
                return;
            const int callers = placement == TPlacement::Free ? -1 : 0;
            const int servers = placement == TPlacement::Split ? 1 : callers;
            const int simulator = placement == TPlacement::Free ? -1 : 1;
            for (pid_t pid : {::getpid(), daemon, churnedBus.Daemon.Pid, freshBus.Daemon.Pid})
                Place(pid, callers);
            for (pid_t pid :
                 {server.Pid, echo.Pid, bare.Pid, churnedBus.Server.Pid, freshBus.Server.Pid})
                Place(pid, servers);
            for (const TChild& b : bares)
                Place(b.Pid, servers);
            Place(::getppid(), simulator);
        };
        placeAll(TPlacement::Split);
        if (wanted("call")) {
            const double serverCpu = CpuMicros(server.Pid), echoCpu = CpuMicros(echo.Pid);
            std::tie(s, b) =
                Abba([&] { fresh.TrafficStat(); }, [&] { echoSide.TrafficStat(); }, 10000);
            call.Server.push_back(s);
            call.Baseline.push_back(b);
            call.Ratio.push_back(s / b);
            // Warm-up calls included: 11,000 a side.
            call.ServerCpu.push_back((CpuMicros(server.Pid) - serverCpu) / 11000);
            call.BaselineCpu.push_back((CpuMicros(echo.Pid) - echoCpu) / 11000);
        }
        if (wanted("churn")) {
            const double churnedCpu = CpuMicros(churnedBus.Server.Pid),
                         freshCpu = CpuMicros(freshBus.Server.Pid);
            std::tie(s, b) =
                Abba([&] { churned.TrafficStat(); }, [&] { freshToo.TrafficStat(); }, 10000);
            churn.Server.push_back(s);
            churn.Baseline.push_back(b);
            churn.Ratio.push_back(s / b);
            churn.ServerCpu.push_back((CpuMicros(churnedBus.Server.Pid) - churnedCpu) / 11000);
            churn.BaselineCpu.push_back((CpuMicros(freshBus.Server.Pid) - freshCpu) / 11000);
        }
        if (wanted("pair")) {
            placeAll(TPlacement::Device);
            const double serverCpu = CpuMicros(server.Pid);
            const std::vector<double> m =
                Rotate({[&] {
                            if (!fresh.Pair(out))
                                Die("the echo did not come back through the server");
                        },
                        [&] {
                            if (!direct.Pair(out))
                                Die("the echo did not come back directly");
                        },
                        [&] {
                            if (!bareSide.Pair(out))
                                Die("the echo did not come back through the bare server");
                        }},
                       2000);
            pair.Server.push_back(m[0]);
            pair.Baseline.push_back(m[1]);
            pair.Ratio.push_back(m[0] / m[1]);
            pair.ServerCpu.push_back((CpuMicros(server.Pid) - serverCpu) / 2200);
            pair.BaselineCpu.push_back(0); // in this process, beside the harness
            pairBare.Server.push_back(m[0]);
            pairBare.Baseline.push_back(m[2]);
            pairBare.Ratio.push_back(m[0] / m[2]);
            pairBareDirect.Server.push_back(m[2]);
            pairBareDirect.Baseline.push_back(m[1]);
            pairBareDirect.Ratio.push_back(m[2] / m[1]);
        }

        placeAll(TPlacement::Free);
        if (wanted("throughput")) {
            // 400 ms windows, the sides in turn forwards and backwards (ABCCBA), 5 per side.
            long sums[3] = {0, 0, 0};
            for (int w = 0; w < 15; ++w) {
                const int side = w % 6 < 3 ? w % 6 : 5 - w % 6;
                const char command = "sdb"[side];
                const int windowMs = 400;
                for (TClient& c : clients)
                    if (::write(c.Commands, &command, 1) != 1 ||
                        ::write(c.Commands, &windowMs, sizeof windowMs) != sizeof windowMs)
                        Die("a throughput client is gone");
                for (TClient& c : clients) {
                    long pairs = 0;
                    if (::read(c.Results, &pairs, sizeof pairs) != sizeof pairs)
                        Die("a throughput client failed");
                    sums[side] += pairs;
                }
            }
            throughput.Server.push_back(sums[0] / 2.0); // 5 windows of 0.4 s: per second
            throughput.Baseline.push_back(sums[1] / 2.0);
            throughput.Ratio.push_back(static_cast<double>(sums[0]) / static_cast<double>(sums[1]));
            throughputVsBare.Server.push_back(sums[0] / 2.0);
            throughputVsBare.Baseline.push_back(sums[2] / 2.0);
            throughputVsBare.Ratio.push_back(static_cast<double>(sums[0]) /
                                             static_cast<double>(sums[2]));
            throughputBare.Server.push_back(sums[2] / 2.0);
            throughputBare.Baseline.push_back(sums[1] / 2.0);
            throughputBare.Ratio.push_back(static_cast<double>(sums[2]) /
                                           static_cast<double>(sums[1]));
        }

        if (wanted("idle")) {
            // Wake-ups over 3 s with nothing happening, then over 3 s while 10 programs join
            // and leave the bus (each its own connection, opened and closed).
            std::this_thread::sleep_for(500ms);
            long before = WakeUps(server.Pid);
            std::this_thread::sleep_for(3s);
            idle.Baseline.push_back(static_cast<double>(WakeUps(server.Pid) - before));
            before = WakeUps(server.Pid);
            const auto until = TClock::now() + 3s;
            for (int i = 0; i < 10; ++i) {
                TChild program;
                Spawn(program, {"dbus-send", "--session", "--dest=org.freedesktop.DBus",
                                "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer.Ping"});
                ::waitpid(program.Pid, nullptr, 0);
                std::erase(Started(), program.Pid);
                program.Pid = -1;
            }
            std::this_thread::sleep_until(until);
            const double woken = static_cast<double>(WakeUps(server.Pid) - before);
            idle.Server.push_back(woken);
            idle.Ratio.push_back(woken);
        }
    }
    for (TClient& c : clients)
        ::close(c.Commands);

    std::printf("zemb-figures: medians of %d repetitions\n", repetitions);
    if (place) {
        const double one = WakeRoundTrip(0, 0), two = WakeRoundTrip(0, 1);
        std::printf("zemb-figures: waking another process, there and back: %.1f us on one CPU, "
                    "%.1f us across two (%.1f us at the start)\n",
                    one, two, wakeAcross);
    }
    std::printf("\n");
    Print({throughput, throughputVsBare, throughputBare, pair, pairBare, pairBareDirect, call,
           churn, idle});
    sd_bus_flush_close_unref(bus);
    sd_bus_flush_close_unref(churnedBus.Bus);
    sd_bus_flush_close_unref(freshBus.Bus);
    churnedBus.Server.Stop();
    churnedBus.Daemon.Stop();
    freshBus.Server.Stop();
    freshBus.Daemon.Stop();
    std::filesystem::remove_all(folder);
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--echo")
        return RunEcho({});
    if (argc >= 3 && std::string(argv[1]) == "--bare")
        return RunEcho(argv[2]);
    Parent() = ::getpid();
    std::atexit(EndStarted);
    std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
    return RunFigures(ZEMB_FIGURES_SERVER, argc > 1 ? std::max(1, std::atoi(argv[1])) : 3, only);
}
