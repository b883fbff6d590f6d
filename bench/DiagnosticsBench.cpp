// SPDX-License-Identifier: MIT
// What every layer pays per log line, and what a settings read costs.
#include "base/DebugLog.h"
#include "base/ProfileFile.h"

#include <benchmark/benchmark.h>

namespace {
// A filtered log with five included groups: the line is refused, as most traffic lines are
// when an operator narrows the log.
void BM_ConfDebugStringRefused(benchmark::State& state) {
    TDebugStringSettings settings;
    settings.Enabled = true;
    settings.IncludedGroups =
        "RUVAzerComm,RUVAzerComm3,\"RUVAzer Comm\",Nabto,TUSB_ConnectedDevices";
    settings.ExcludedGroups = "RUVAzerCommTraffic";
    SetDebugStringSettings(settings);
    for (auto _ : state) {
        ConfDebugString(">TZEMBServer.WriteBuffer", "RUVAzerCommTraffic");
    }
    SetDebugStringSettings({});
}
BENCHMARK(BM_ConfDebugStringRefused);

void BM_ConfDebugStringShownNowhere(benchmark::State& state) {
    TDebugStringSettings settings;
    settings.Enabled = true;
    settings.ShowOnDebugOutput = false;
    settings.ShowAssociatedGroup = true;
    SetDebugStringSettings(settings);
    for (auto _ : state) {
        ConfDebugString(">TZEMBServer.WriteBuffer", "RUVAzerCommTraffic");
    }
    SetDebugStringSettings({});
}
BENCHMARK(BM_ConfDebugStringShownNowhere);

void BM_ProfileTextLookup(benchmark::State& state) {
    std::string text;
    for (int section = 0; section < 20; ++section) {
        text += "[Section" + std::to_string(section) + "]\r\n";
        for (int key = 0; key < 10; ++key) {
            text += "Key" + std::to_string(key) + "=" + std::to_string(key * section) + "\r\n";
        }
    }
    for (auto _ : state) {
        TProfileText profile(text);
        benchmark::DoNotOptimize(profile.Value("section19", "key9"));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ProfileTextLookup);
} // namespace
