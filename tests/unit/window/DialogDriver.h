// SPDX-License-Identifier: MIT
#pragma once

#include "base/OperatorMessages.h"

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
    TModalDriver(const TModalDriver&) = delete;
    TModalDriver& operator=(const TModalDriver&) = delete;

private:
    void Poll() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible())
            return;
        if (started_.hasExpired(10000)) {
            ADD_FAILURE() << "dialog left open: " << dialog->objectName().toStdString();
            dialog->reject();
        } else if (dialog != last_) {
            last_ = dialog;
            if (next_ < steps_.size()) {
                try {
                    steps_[next_++](*dialog);
                } catch (const std::exception& error) {
                    ADD_FAILURE() << error.what();
                    dialog->reject();
                }
            } else {
                ADD_FAILURE() << "unexpected dialog: " << dialog->objectName().toStdString();
                dialog->reject();
            }
        }
    }

    std::vector<TDialogStep> steps_;
    std::size_t next_ = 0;
    QPointer<QDialog> last_;
    QTimer timer_;
    QElapsedTimer started_;
};

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

// The texts of the message boxes shown while it lives.
class TRecordedMessages {
public:
    TRecordedMessages() : previous_(SetOperatorMessages(std::make_unique<TRecorder>(shown))) {}
    ~TRecordedMessages() { SetOperatorMessages(std::move(previous_)); }
    TRecordedMessages(const TRecordedMessages&) = delete;
    TRecordedMessages& operator=(const TRecordedMessages&) = delete;

    std::vector<std::string> shown;

private:
    class TRecorder final : public IOperatorMessages {
    public:
        explicit TRecorder(std::vector<std::string>& shown) : shown_(shown) {}
        void ShowInformation(std::string_view text) override { shown_.emplace_back(text); }
        void ShowError(std::string_view text) override { shown_.emplace_back(text); }
        bool AskYesNo(std::string_view text, bool safeAnswer) override {
            shown_.emplace_back(text);
            return safeAnswer;
        }

    private:
        std::vector<std::string>& shown_;
    };
    std::unique_ptr<IOperatorMessages> previous_;
};
