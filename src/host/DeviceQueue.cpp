// SPDX-License-Identifier: MIT
#include "host/DeviceQueue.h"

#include "base/DebugLog.h"
#include "host/ConnectedDevices.h"

#include <exception>
#include <sys/epoll.h>

TDeviceScheduler::TDeviceScheduler() = default;
TDeviceScheduler::~TDeviceScheduler() = default;

void TDeviceScheduler::Attach(sd_event* loop) {
    source_ = TEventSource();
    asideSource_ = TEventSource();
    if (!loop)
        return;
    source_ = TEventLoop(loop).AddIo(completions_.Fd(), EPOLLIN,
                                     [this](std::uint32_t) { completions_.RunFinished(); });
    if (source_)
        source_.SetDescription("zemb-device-workers");
    asideSource_ = TEventLoop(loop).AddIo(asideDone_.Fd(), EPOLLIN,
                                          [this](std::uint32_t) { asideDone_.RunFinished(); });
    if (asideSource_)
        asideSource_.SetDescription("zemb-aside-worker");
}

void TDeviceScheduler::RunAside(std::function<void()> work, std::function<void()> done) {
    if (!Attached()) {
        work();
        done();
        return;
    }
    if (!aside_)
        aside_ = std::make_unique<TDeviceWorker>(asideDone_);
    aside_->Run(std::move(work), std::move(done));
}

void TDeviceScheduler::Queue(TUSB_ConnectedDevice& device, TDeviceOperation operation) {
    TQueue& queue = queues_[&device];
    queue.Pending.push_back(std::move(operation));
    Pump(device, queue);
}

bool TDeviceScheduler::AfterRunningJob(TUSB_ConnectedDevice& device, std::function<void()> action) {
    const auto it = queues_.find(&device);
    if (it == queues_.end() || !it->second.Running)
        return false;
    it->second.Pending.push_front([action = std::move(action)]() -> std::optional<TDeviceJob> {
        action();
        return std::nullopt;
    });
    return true;
}

bool TDeviceScheduler::Idle() const {
    if (running_ > 0)
        return false;
    for (const auto& [device, queue] : queues_)
        if (!queue.Pending.empty())
            return false;
    return true;
}

void TDeviceScheduler::Hold() {
    ++holds_;
}

void TDeviceScheduler::Release() {
    if (holds_ > 0 && --holds_ == 0)
        for (auto& [device, queue] : queues_)
            Pump(*device, queue);
}

void TDeviceScheduler::WhenJobsDone(std::function<void()> action) {
    if (running_ == 0) {
        DeviceLogged("TDeviceScheduler.WhenJobsDone", action);
        return;
    }
    whenDone_.push_back(std::move(action));
}

void TDeviceScheduler::Pump(TUSB_ConnectedDevice& device, TQueue& queue) {
    // An operation that calls back into the queue leaves the next step to the loop above it.
    if (queue.Pumping)
        return;
    queue.Pumping = true;
    while (!queue.Running && holds_ == 0 && !queue.Pending.empty()) {
        TDeviceOperation operation = std::move(queue.Pending.front());
        queue.Pending.pop_front();
        std::optional<TDeviceJob> job;
        DeviceLogged("TDeviceScheduler.Start", [&] { job = operation(); });
        if (!job)
            continue;
        if (!Attached()) {
            DeviceLogged("TDeviceScheduler.Work", job->Work);
            DeviceLogged("TDeviceScheduler.Done", job->Done);
            continue;
        }
        if (!queue.Worker)
            queue.Worker = std::make_unique<TDeviceWorker>(completions_);
        queue.Running = true;
        ++running_;
        queue.Worker->Run(std::move(job->Work), [this, &device, done = std::move(job->Done)] {
            DeviceLogged("TDeviceScheduler.Done", done);
            Finished(device);
        });
    }
    queue.Pumping = false;
    // A device without an open handle needs no worker until it is opened again.
    if (!queue.Running && queue.Pending.empty() && queue.Worker &&
        (!device.Device || !device.Device->Active()))
        queue.Worker.reset();
}

void TDeviceScheduler::Finished(TUSB_ConnectedDevice& device) {
    TQueue& queue = queues_[&device];
    queue.Running = false;
    if (--running_ == 0 && !whenDone_.empty()) {
        std::vector<std::function<void()>> actions;
        actions.swap(whenDone_);
        for (auto& action : actions)
            DeviceLogged("TDeviceScheduler.WhenJobsDone", action);
    }
    Pump(device, queue);
}
