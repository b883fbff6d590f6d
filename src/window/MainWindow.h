// SPDX-License-Identifier: MIT
#pragma once

#include "host/HostOperations.h"
#include "server/CommunicationLog.h"
#include "server/DeviceTree.h"

#include <QIcon>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSessionManager;
class QStackedLayout;
class QSystemTrayIcon;
class QTreeWidget;
class TServerContext;

// The operator window: the communication log, the tree of devices, connections and clients,
// and the icon in the notification area with its menu. Made hidden; the process ends when it
// closes. It registers itself as the change notification's and the log's listener for its
// lifetime, passing both on to the listener it found (which must outlive it).
class TfrmMain final : public QWidget {
public:
    // args: the command line after the program name (the configuration switch).
    TfrmMain(TServerContext& context, std::vector<std::string> args);
    ~TfrmMain() override;

    // "Tavro USB Link communication (build: ...)" and the tip, cut to 63 characters.
    static QString CaptionFor(const std::string& build);
    static QString TipFor(const QString& caption);
    // The close question with the number of live server objects.
    static std::string CloseQuestion(std::int32_t objectCount);
    // The tree's nodes into a tree widget, in the given order; images from ilMain.
    static void FillTree(QTreeWidget& tree, const std::vector<TDeviceTreeNode>& nodes,
                         const std::array<QIcon, 4>& images);
    static std::array<QIcon, 4> ImageList();

    void RefreshTree();
    // The menu items.
    void Setup();
    void CloseFromMenu();
    // The platform announced that the user session ends.
    void EndSession();

    bool CloseConfirmed() const { return closeConfirmed_; }
    bool SessionEnding() const { return sessionEnding_; }
    bool SetupAllowed() const { return setupAllowed_; }
    bool HasTray() const { return tray_ != nullptr; }
    QMenu* TrayMenu() const { return pmMain_; }
    QTreeWidget* Tree() const { return tvMain_; }
    QLabel* NoDevices() const { return noDevices_; }
    QPlainTextEdit* Log() const { return mmMain_; }
    QMenu* LogMenu() const { return pmMemo_; }

    // The automation runtime's termination warning, asked after the close question.
    static std::string TerminationWarning();

    // Called once the window has closed for good: the process ends.
    std::function<void()> OnClosed;
    // How many objects the automation runtime serves; unset counts none.
    std::function<int()> AutomationObjectCount;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OnLogChanged(const TCommunicationLog::TChange& change);
    void ShowFromTray();

    TServerContext& context_;
    std::vector<std::string> args_;
    bool closeConfirmed_ = false;
    bool sessionEnding_ = false;
    bool setupAllowed_ = false;
    std::array<QIcon, 4> ilMain_;
    QPlainTextEdit* mmMain_ = nullptr;
    QMenu* pmMemo_ = nullptr;
    QStackedLayout* devicesStack_ = nullptr;
    QLabel* noDevices_ = nullptr;
    QTreeWidget* tvMain_ = nullptr;
    QMenu* pmMain_ = nullptr;
    QAction* miSetup_ = nullptr;
    QAction* miClose_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> tray_;
    // The log lines the view shows: numbers [viewFirst_, viewNext_).
    std::uint64_t viewFirst_ = 0;
    std::uint64_t viewNext_ = 0;
    TNotifyEvent previousNotification_;
    TCommunicationLog::TChanged previousLogListener_;
};
