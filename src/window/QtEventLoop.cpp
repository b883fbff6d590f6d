// SPDX-License-Identifier: MIT
#include "window/QtEventLoop.h"

#include "base/DebugLog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <string>

TQtEventCarrier::TQtEventCarrier(TEventLoop& loop) : loop_(loop) {
    const int fd = loop_.Fd();
    if (fd >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Step(); });
    }
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { Step(); });
    }
}

TQtEventCarrier::~TQtEventCarrier() = default;

int TQtEventCarrier::Exec() {
    Step(); // what is due already, and the first prepare
    if (loop_.Finished()) {
        return loop_.ExitCode();
    }
    return QCoreApplication::exec();
}

void TQtEventCarrier::Step() {
    // A modal box opened by one of the loop's own handlers runs Qt's loop inside that handler:
    // sd-event cannot be entered again there, so its sources wait until the handler returns.
    if (stepping_ || loop_.Dispatching() || loop_.Finished()) {
        return;
    }
    stepping_ = true;
    if (notifier_) {
        notifier_->setEnabled(false);
    }
    int r = 0;
    // Bounded: Qt's own events get their turn between bursts.
    for (int n = 0; n < 64 && (r = loop_.RunOnce()) > 0 && !loop_.Finished(); ++n) {
    }
    if (notifier_) {
        notifier_->setEnabled(true);
    }
    stepping_ = false;
    if (r < 0 && r != -EBUSY) {
        ConfDebugString(std::string("zemb-server: the event loop failed: ") + std::strerror(-r));
        QCoreApplication::exit(1);
    } else if (loop_.Finished()) {
        QCoreApplication::exit(loop_.ExitCode());
    }
}
