// SPDX-License-Identifier: MIT
#pragma once

#include "base/EventLoop.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>

// Carries the sd-event loop inside Qt's loop on the same thread: a socket notifier on the
// loop's fd (its timers are timer fds inside it, so it also wakes for them) and one step before
// Qt goes to sleep, which runs the loop's prepare callbacks (the bus flushes its output and arms
// its time-out there). When a handler calls Exit(), Qt's loop ends with that code.
class TQtEventCarrier final : public QObject {
public:
    explicit TQtEventCarrier(TEventLoop& loop);
    ~TQtEventCarrier() override;

    // Runs Qt's loop until it ends (the window closed, or the sd-event loop exited).
    int Exec();

private:
    void Step();
    TEventLoop& loop_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool stepping_ = false;
};
