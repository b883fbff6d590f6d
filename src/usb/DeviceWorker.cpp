// SPDX-License-Identifier: MIT
#include "usb/DeviceWorker.h"

#include "base/DebugLog.h"
#include "base/OperatorMessages.h"

#include <exception>
#include <sys/eventfd.h>

namespace {
thread_local TDeviceLines* capturedLines = nullptr;
} // namespace

void DeviceDebugString(std::string_view text, std::string_view group) {
    if (capturedLines)
        capturedLines->push_back({std::string(text), std::string(group)});
    else
        ConfDebugString(text, group);
}

void DeviceShowError(std::string_view text) {
    if (capturedLines)
        capturedLines->push_back({std::string(text), {}, true});
    else
        OperatorMessages().ShowError(text);
}

void WriteDeviceLines(const TDeviceLines& lines) {
    for (const TDeviceLine& line : lines) {
        if (line.OperatorError)
            OperatorMessages().ShowError(line.Text);
        else
            ConfDebugString(line.Text, line.Group);
    }
}

TDeviceLineCapture::TDeviceLineCapture(TDeviceLines& lines) : outer_(capturedLines) {
    capturedLines = &lines;
}

TDeviceLineCapture::~TDeviceLineCapture() {
    capturedLines = outer_;
}

TDeviceCompletions::TDeviceCompletions() : event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

// eventfd_write and eventfd_read, not write and read: a preloaded library that wraps those
// (umockdev's, under the simulator) would cost every hand-over its own work.
void TDeviceCompletions::Post(std::function<void()> done) {
    bool first = false;
    {
        const std::lock_guard lock(mutex_);
        first = finished_.empty();
        finished_.push_back(std::move(done));
    }
    // Only a completion that finds none waiting wakes the loop: those posted after it, before
    // the loop takes the list, go with it.
    if (first)
        eventfd_write(event_.Get(), 1);
}

void TDeviceCompletions::RunFinished() {
    eventfd_t count = 0;
    eventfd_read(event_.Get(), &count);
    std::vector<std::function<void()>> ready;
    {
        const std::lock_guard lock(mutex_);
        ready.swap(finished_);
    }
    for (auto& done : ready)
        DeviceLogged("TDeviceCompletions.RunFinished", [&] { done(); });
}

TDeviceWorker::TDeviceWorker(TDeviceCompletions& completions)
    : completions_(completions), thread_([this] { Loop(); }) {}

TDeviceWorker::~TDeviceWorker() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void TDeviceWorker::Run(std::function<void()> work, std::function<void()> done) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.emplace_back(std::move(work), std::move(done));
    }
    wake_.notify_one();
}

void TDeviceWorker::Loop() {
    for (;;) {
        std::pair<std::function<void()>, std::function<void()>> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // The work catches what it needs to report; anything else must not end the process,
        // and is told on the loop's thread, before the result is handed back.
        std::exception_ptr failure;
        try {
            job.first();
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure)
            completions_.Post([failure = std::move(failure), done = std::move(job.second)] {
                DeviceLogged("TDeviceWorker.Run", [&] { std::rethrow_exception(failure); });
                done();
            });
        else
            completions_.Post(std::move(job.second));
    }
}
