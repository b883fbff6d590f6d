// SPDX-License-Identifier: MIT
#pragma once

#include "base/EventLoop.h"
#include "usb/DeviceWorker.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class TUSB_ConnectedDevice;

// What an operation hands its device's worker when its turn comes: Work runs there, Done on
// the main thread afterwards.
struct TDeviceJob {
    std::function<void()> Work;
    std::function<void()> Done;
};
// An operation on one device, called on the main thread when its turn comes: the job for the
// worker, or none when it did all it had to at once.
using TDeviceOperation = std::function<std::optional<TDeviceJob>()>;

// The operations asked of each device (by its record), run one at a time in the order asked;
// a device's operations never wait for another device's. All of it is main-thread state; only a
// job's Work runs on the device's worker, and only while the queue waits for it.
//
// Not attached to a loop, an operation's job runs at once on the calling thread, Work then Done,
// as all device I/O did before the workers (tests of the host use that).
class TDeviceScheduler {
public:
    TDeviceScheduler();
    ~TDeviceScheduler();
    TDeviceScheduler(const TDeviceScheduler&) = delete;
    TDeviceScheduler& operator=(const TDeviceScheduler&) = delete;

    // Hands finished jobs back through loop from now on; a null loop detaches (jobs asked
    // afterwards run at once).
    void Attach(sd_event* loop);
    bool Attached() const { return static_cast<bool>(source_); }
    // The descriptor readable while finished jobs wait, and the step that runs them: for a
    // pump that waits without the loop (a call out to a client).
    int CompletionFd() const { return completions_.Fd(); }
    void RunFinished() { completions_.RunFinished(); }

    void Queue(TUSB_ConnectedDevice& device, TDeviceOperation operation);
    // Runs action right after the job the device's worker is running now, ahead of operations
    // still queued; false when no job runs (the caller may act at once).
    bool AfterRunningJob(TUSB_ConnectedDevice& device, std::function<void()> action);
    // No job on any worker and nothing queued.
    bool Idle() const;
    bool JobsRunning() const { return running_ > 0; }
    // While held, queued operations wait (a rescan pending or running); the last Release
    // starts them again.
    void Hold();
    void Release();
    // Runs once when the last running job has finished (at once when none runs): a rescan
    // waits so for every device, and operations asked meanwhile wait behind it.
    void WhenJobsDone(std::function<void()> action);
    // Work that belongs to no one device (a rescan identifying every device) on a worker of its
    // own, one at a time; done on the main thread afterwards, from the loop itself and never
    // while a call out waits (done may call out to clients). Not attached, both at once.
    void RunAside(std::function<void()> work, std::function<void()> done);

private:
    struct TQueue {
        std::deque<TDeviceOperation> Pending;
        bool Running = false; // a job is on the worker
        bool Pumping = false; // Pump is on the stack for this queue
        std::unique_ptr<TDeviceWorker> Worker;
    };
    void Pump(TUSB_ConnectedDevice& device, TQueue& queue);
    void Finished(TUSB_ConnectedDevice& device);

    TDeviceCompletions completions_;
    TEventSource source_;
    std::map<TUSB_ConnectedDevice*, TQueue> queues_;
    int holds_ = 0;
    int running_ = 0;
    std::vector<std::function<void()>> whenDone_;
    TDeviceCompletions asideDone_;
    TEventSource asideSource_;
    std::unique_ptr<TDeviceWorker> aside_;
};
