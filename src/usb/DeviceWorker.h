// SPDX-License-Identifier: MIT
#pragma once

// Device I/O off the main thread. Each opened device has one worker thread that runs its
// transport operations one at a time; the part of an operation that touches state (lines,
// counters, the reply) is handed back to the main thread through one eventfd that the loop
// watches.
//
// Why a thread per device and not libusb's asynchronous API on the loop: the pipe-file
// transport is plain blocking POSIX I/O with its own time-outs, the latency simulation sleeps,
// and the WinUSB stand-in retries after a pause; a thread runs all three unchanged, with the
// same code the synchronous path runs, where the asynchronous API would cover libusb only and
// need each transport rewritten as a state machine.

#include "base/UniqueFd.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// A debug line that device code writes; on a worker it is kept (see TDeviceLineCapture),
// elsewhere it goes out at once.
void DeviceDebugString(std::string_view text, std::string_view group);
// An error box for the operator that device code asks for: on a worker it is kept with the
// lines and shown when they are written out (a box is the window's, on the main thread);
// elsewhere it is shown at once.
void DeviceShowError(std::string_view text);

// What a job said on its worker, in order, written out on the main thread afterwards: debug
// lines, and the operator's error boxes.
struct TDeviceLine {
    std::string Text;
    std::string Group;
    bool OperatorError = false;
};
using TDeviceLines = std::vector<TDeviceLine>;
void WriteDeviceLines(const TDeviceLines& lines);

// While it lives, DeviceDebugString and DeviceShowError on this thread append to lines.
class TDeviceLineCapture {
public:
    explicit TDeviceLineCapture(TDeviceLines& lines);
    ~TDeviceLineCapture();
    TDeviceLineCapture(const TDeviceLineCapture&) = delete;
    TDeviceLineCapture& operator=(const TDeviceLineCapture&) = delete;

private:
    TDeviceLines* outer_;
};

// Where finished jobs come back: the main-thread parts, in the order the jobs finished.
class TDeviceCompletions {
public:
    TDeviceCompletions();
    TDeviceCompletions(const TDeviceCompletions&) = delete;
    TDeviceCompletions& operator=(const TDeviceCompletions&) = delete;

    // Readable while finished jobs wait.
    int Fd() const { return event_.Get(); }
    // Any thread.
    void Post(std::function<void()> done);
    // Main thread: runs every waiting part; what one throws is logged and the rest run.
    void RunFinished();

private:
    TUniqueFd event_;
    std::mutex mutex_;
    std::vector<std::function<void()>> finished_;
};

// One device's worker thread. Run hands it one job at a time: work on the worker, then done
// posted to the completions. Destruction waits for a running job and ends the thread.
class TDeviceWorker {
public:
    explicit TDeviceWorker(TDeviceCompletions& completions);
    ~TDeviceWorker();
    TDeviceWorker(const TDeviceWorker&) = delete;
    TDeviceWorker& operator=(const TDeviceWorker&) = delete;

    void Run(std::function<void()> work, std::function<void()> done);

private:
    void Loop();

    TDeviceCompletions& completions_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::function<void()>, std::function<void()>>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};
