// SPDX-License-Identifier: MIT
// A client's view of the server's speed: one call, and a write plus the read of its echo
// through a simulated link device, over the session bus. Starts its own
// `zemb-sim -- zemb-server` unless a server already owns the name.
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {
using namespace std::chrono_literals;

// The server under the simulator, for the life of the benchmark run.
class TBenchServer {
public:
    TBenchServer() {
        client_ = ZEMB::TZEMBClient::Connect();
        if (!client_) {
            return;
        }
        client_->SetCallTimeout(2s);
        if (client_->CreateInstance(CLASS_ZEMBServer4)) {
            return; // someone else's server is running
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // The server's trace lines would drown the figures.
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0) {
                ::dup2(null, STDERR_FILENO);
            }
            ::execl(ZEMB_BENCH_SIM, ZEMB_BENCH_SIM, "--devices", ZEMB_BENCH_DEVICES, "--",
                    ZEMB_BENCH_SERVER, "--no-window", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !client_->CreateInstance(CLASS_ZEMBServer4); ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ~TBenchServer() {
        Server.reset();
        client_.reset();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // A server object, hooked up and connected to the Fenwy, opened.
    bool Prepare() {
        if (!client_ || !(Server = client_->CreateInstance(CLASS_ZEMBServer4))) {
            return false;
        }
        client_->SetCallTimeout(10s);
        bool result = false;
        std::int32_t clientAppID = -1, devID = -1;
        Server->HookupClientApp2(ZEMB::aciVantor, static_cast<std::int32_t>(::getpid()), "bench",
                                 "zemb-bench", clientAppID, result);
        Server->FirstDevice2(ZEMB::dtFenwy, clientAppID, ZEMB::cmExclusive, devID, result);
        if (!result) {
            return false;
        }
        Server->ConnectDevice(clientAppID, devID, ZEMB::cmExclusive, nullptr, ConnectID, result);
        Server->OpenDevice(ConnectID, result);
        return result;
    }

    std::shared_ptr<IZEMBServer4> Server;
    std::int32_t ConnectID = -1;

private:
    std::unique_ptr<ZEMB::TZEMBClient> client_;
    pid_t pid_ = -1;
};

TBenchServer& BenchServer() {
    static TBenchServer server;
    static const bool prepared = server.Prepare();
    if (!prepared) {
        std::fprintf(stderr, "zemb-bench: no server with a simulated Fenwy to measure\n");
        std::exit(1);
    }
    return server;
}

void BM_TrafficStatCall(benchmark::State& state) {
    TBenchServer& server = BenchServer();
    std::int32_t written = 0, read = 0;
    bool result = false;
    for (auto _ : state) {
        server.Server->TrafficStat(server.ConnectID, written, read, result);
    }
}
BENCHMARK(BM_TrafficStatCall)->UseRealTime();

void BM_WriteThenReadEcho(benchmark::State& state) {
    TBenchServer& server = BenchServer();
    const auto size = static_cast<std::size_t>(state.range(0));
    TSafeByteArray out(std::vector<std::uint8_t>(size, 0x42));
    std::int32_t count = 0;
    bool result = false;
    for (auto _ : state) {
        server.Server->WriteBuffer(server.ConnectID, out, count, result);
        TSafeByteArray in(size, 1);
        server.Server->ReadBuffer(server.ConnectID, in, count, result);
        if (!result || in.Data()[0] != 0x42) {
            state.SkipWithError("the echo did not come back");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size * 2));
}
BENCHMARK(BM_WriteThenReadEcho)->Arg(16)->Arg(64)->Arg(4096)->UseRealTime();
} // namespace
