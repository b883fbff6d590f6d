// SPDX-License-Identifier: MIT
#pragma once

#include "Captures.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using TDialogStep = std::function<void(QDialog&)>;

// Drives the modal dialogs that open while it lives: each dialog that comes on top gets the
// next step. A dialog still open after the bound, or one no step expects, is rejected and the
// test fails, so a test never hangs on a modal loop.
class TModalDriver {
public:
    explicit TModalDriver(std::vector<TDialogStep> steps) : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start(5);
        started_.start();
    }
    ~TModalDriver() { EXPECT_EQ(next_, steps_.size()) << "dialogs that never opened"; }

private:
    void Poll() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        const bool late = started_.hasExpired(10000);
        if (dialog == nullptr || !dialog->isVisible() || (dialog == last_ && !late))
            return;
        last_ = dialog;
        try {
            if (late || next_ >= steps_.size())
                throw std::runtime_error((late ? "dialog left open: " : "unexpected dialog: ") +
                                         dialog->objectName().toStdString());
            steps_[next_++](*dialog);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
            dialog->reject();
        }
    }

    std::vector<TDialogStep> steps_;
    std::size_t next_ = 0;
    QPointer<QDialog> last_;
    QTimer timer_;
    QElapsedTimer started_;
};

// What show() gives, with the driver taking the dialogs it opens.
template <class F> auto Driven(std::vector<TDialogStep> steps, F show) {
    TModalDriver driver(std::move(steps));
    return show();
}

template <class T = QWidget> T& Child(QDialog& dialog, const char* name) {
    T* child = dialog.findChild<T*>(QString::fromUtf8(name));
    if (child == nullptr)
        throw std::runtime_error(std::string("no control ") + name);
    return *child;
}

// Clicks a control once the current event has been handled, so that a dialog it opens runs
// its modal loop under the driver rather than inside the step.
inline void ClickLater(QDialog& dialog, const char* name) {
    QWidget* control = &Child(dialog, name);
    QTimer::singleShot(0, control, [control] { QTest::mouseClick(control, Qt::LeftButton); });
}
