// SPDX-License-Identifier: MIT
// The operator window's side of zemb-server: the application object, the hidden main window,
// and Qt's loop carrying the server's.
#include "window/WindowModule.h"

#include "base/DebugLog.h"
#include "base/EventLoop.h"
#include "base/OperatorMessages.h"
#include "server/OperatorInterface.h"
#include "window/MainWindow.h"
#include "window/QtEventLoop.h"
#include "window/QtMessages.h"
#include "window/WindowList.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {
// Wayland answers, but Qt can only use it with its Wayland plugin.
std::string WithInstalledPlugins(const std::string& platforms) {
    const QDir dir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    const bool wayland = !dir.entryList({QStringLiteral("libqwayland*")}).isEmpty();
    std::string result;
    std::string_view rest = platforms;
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view platform = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (wayland || !platform.starts_with("wayland")) {
            result += (result.empty() ? "" : ";") + std::string(platform);
        }
    }
    return result;
}

class TWindowHooks final : public TOperatorWindowHooks {
public:
    TWindowHooks(int& argc, char** argv, std::string platforms)
        : argc_(argc), argv_(argv), args_(argv + 1, argv + argc), platforms_(std::move(platforms)) {
    }
    ~TWindowHooks() override { SetOperatorMessages(nullptr); }

    bool Start() override {
        const std::string platforms = WithInstalledPlugins(platforms_);
        if (platforms.empty()) {
            return false;
        }
        ::setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
        QApplication::setApplicationName(QStringLiteral("zemb-server"));
        QApplication::setDesktopFileName(QStringLiteral("zemb-server"));
        app_.emplace(argc_, argv_);
        // The window lives hidden; a message box closing must not end the process.
        QApplication::setQuitOnLastWindowClosed(false);
        SetOperatorMessages(std::make_unique<TQtOperatorMessages>());
        return true;
    }
    void CreateHidden(TServerContext& context, std::function<int()> automationObjects) override {
        window_ = std::make_unique<TfrmMain>(context, args_);
        window_->AutomationObjectCount = std::move(automationObjects);
        window_->OnClosed = [] { QCoreApplication::exit(0); };
        // Another copy finds this window by its class, as on Windows by its form class.
        if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
            SetWindowClass(x11->connection(), static_cast<TWindowHandle>(window_->winId()),
                           "zemb-server", "TfrmMain");
        // A second copy that found no window to bring forward asks this one to show itself.
        SetShowWindowHook([window = window_.get()] {
            window->show();
            window->raise();
            window->activateWindow();
            return true;
        });
    }
    long ActivateOtherInstance() override { return ::ActivateOtherInstance("TfrmMain", true, ""); }
    int Run(TEventLoop& event) override {
        TQtEventCarrier carrier(event);
        return carrier.Exec();
    }
    void Destroy() override {
        SetShowWindowHook(nullptr);
        window_.reset();
    }

private:
    int& argc_;
    char** argv_;
    std::vector<std::string> args_;
    std::string platforms_;
    std::optional<QApplication> app_;
    std::unique_ptr<TfrmMain> window_;
};
} // namespace

extern "C" TOperatorWindowHooks* ZEMBCreateWindowHooks(int* argc, char** argv,
                                                       const char* platforms) noexcept {
    try {
        return std::make_unique<TWindowHooks>(*argc, argv, platforms).release();
    } catch (const std::exception& error) {
        ConfDebugString(std::string("zemb-server: no operator window: ") + error.what());
    }
    return nullptr;
}
