// SPDX-License-Identifier: MIT
#include "window/MainWindow.h"

#include "base/DebugLog.h"
#include "base/OperatorMessages.h"
#include "base/Settings.h"
#include "base/VersionRecord.h"
#include "server/ServerObject.h"
#include "window/SetupDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSessionManager>
#include <QStackedLayout>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {
QString FromText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFrame* LoweredPanel(QWidget* parent) {
    auto* panel = new QFrame(parent);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    return panel;
}

bool ConfigSwitchGiven(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(), [](std::string arg) {
        std::transform(arg.begin(), arg.end(), arg.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return arg == "-CONFIG" || arg == "/CONFIG";
    });
}
} // namespace

TfrmMain::TfrmMain(TServerContext& context, std::vector<std::string> args)
    : context_(context), args_(std::move(args)), ilMain_(ImageList()) {
    setObjectName(QStringLiteral("TfrmMain"));
    setWindowTitle(CaptionFor(GetOwnVersionString()));
    setWindowIcon(QIcon(QStringLiteral(":/icons/zemb-server.svg")));
    resize(855, 688);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* plCommuicationLog = LoweredPanel(this);
    plCommuicationLog->setFixedHeight(252);
    auto* logLayout = new QVBoxLayout(plCommuicationLog);
    logLayout->setContentsMargins(16, 16, 16, 16);
    auto* lblCommunicationLog = new QLabel(QStringLiteral("Communication log"), plCommuicationLog);
    QFont bold = lblCommunicationLog->font();
    bold.setBold(true);
    lblCommunicationLog->setFont(bold);
    logLayout->addWidget(lblCommunicationLog);
    mmMain_ = new QPlainTextEdit(plCommuicationLog);
    mmMain_->setObjectName(QStringLiteral("mmMain"));
    mmMain_->setReadOnly(true);
    mmMain_->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmMain_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logLayout->addWidget(mmMain_);
    layout->addWidget(plCommuicationLog);

    pmMemo_ = new QMenu(this);
    QAction* miClear = pmMemo_->addAction(QStringLiteral("Clear"));
    miClear->setObjectName(QStringLiteral("miClear"));
    // The window never writes to the log; clearing it clears the one the operator interface
    // serves too, and the view follows through the change.
    connect(miClear, &QAction::triggered, this, [] { CommunicationLog().Clear(); });
    mmMain_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(mmMain_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pmMemo_->popup(mmMain_->mapToGlobal(at)); });

    auto* plDevices = LoweredPanel(this);
    auto* devicesLayout = new QVBoxLayout(plDevices);
    devicesLayout->setContentsMargins(16, 16, 16, 16);
    auto* panel1 = new QFrame(plDevices);
    panel1->setFrameShape(QFrame::Panel);
    panel1->setFrameShadow(QFrame::Raised);
    devicesStack_ = new QStackedLayout(panel1);
    noDevices_ = new QLabel(QStringLiteral("No devices detected"), panel1);
    noDevices_->setAlignment(Qt::AlignCenter);
    QFont big = noDevices_->font();
    big.setPointSize(16);
    noDevices_->setFont(big);
    tvMain_ = new QTreeWidget(panel1);
    tvMain_->setObjectName(QStringLiteral("tvMain"));
    tvMain_->setHeaderHidden(true);
    tvMain_->setIndentation(19);
    tvMain_->setIconSize(QSize(16, 16));
    devicesStack_->addWidget(noDevices_);
    devicesStack_->addWidget(tvMain_);
    devicesLayout->addWidget(panel1);
    layout->addWidget(plDevices, 1);

    // Creation order: the change notification, the icon, the first tree, SetupAllowed.
    previousNotification_ = SetDevicesChangeNotification([this](void* sender) {
        if (previousNotification_) {
            previousNotification_(sender);
        }
        RefreshTree();
    });
    previousLogListener_ =
        CommunicationLog().SetOnChange([this](const TCommunicationLog::TChange& change) {
            if (previousLogListener_) {
                previousLogListener_(change);
            }
            OnLogChanged(change);
        });

    pmMain_ = new QMenu(this);
    miSetup_ = pmMain_->addAction(QStringLiteral("Edit/create Fenwy.Ini"));
    miSetup_->setObjectName(QStringLiteral("miSetup"));
    miClose_ = pmMain_->addAction(QStringLiteral("&Close"));
    miClose_->setObjectName(QStringLiteral("miClose"));
    connect(miSetup_, &QAction::triggered, this, [this] { Setup(); });
    connect(miClose_, &QAction::triggered, this, [this] { CloseFromMenu(); });
    connect(pmMain_, &QMenu::aboutToShow, this, [this] { miSetup_->setVisible(setupAllowed_); });

    tray_ = std::make_unique<QSystemTrayIcon>(windowIcon());
    tray_->setToolTip(TipFor(windowTitle()));
    tray_->setContextMenu(pmMain_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    ShowFromTray();
                }
            });
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Qt puts the icon in place if a tray appears later; until then the window is out of
        // reach, and the operator interface and zemb-cli remain the way in.
        static bool told = false;
        if (!told) {
            told = true;
            ConfDebugString("TfrmMain: no notification area (system tray) on this display; the "
                            "icon shows when one appears");
        }
    }
    tray_->show();

    viewFirst_ = viewNext_ = CommunicationLog().FirstNumber();
    OnLogChanged(
        {TCommunicationLog::TChangeKind::Appended, viewFirst_, CommunicationLog().NextNumber()});
    RefreshTree();

    setupAllowed_ = std::filesystem::exists(SettingsFileName()) || ConfigSwitchGiven(args_);
    miSetup_->setVisible(setupAllowed_);

    // Session management asks whether the session may end: the server does not hold the
    // logout up; it stops asking its close question, and systemd's SIGTERM or the display's end
    // ends the process in order.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager&) { EndSession(); });
    }
}

TfrmMain::~TfrmMain() {
    SetDevicesChangeNotification(std::move(previousNotification_));
    CommunicationLog().SetOnChange(std::move(previousLogListener_));
    if (tray_) {
        tray_->hide();
    }
}

QString TfrmMain::CaptionFor(const std::string& build) {
    return QStringLiteral("Tavro USB Link communication (build: %1)").arg(FromText(build));
}

QString TfrmMain::TipFor(const QString& caption) {
    return caption.left(63);
}

std::string TfrmMain::CloseQuestion(std::int32_t objectCount) {
    // The line break of the question's two sentences.
    return "ZEMB server has " + std::to_string(objectCount) +
           " active connection(s). Terminating this application will cause connected clients "
           "to fail.\nDo you want to terminate anyway?";
}

std::string TfrmMain::TerminationWarning() {
    return "There are still active COM objects in this application.  One or more clients may "
           "have references to these objects, so manually closing this application may cause "
           "those client application(s) to fail.\n\nAre you sure you want to close this "
           "application?";
}

std::array<QIcon, 4> TfrmMain::ImageList() {
    return {QIcon(QStringLiteral(":/icons/chip.svg")),
            QIcon(QStringLiteral(":/icons/question.svg")),
            QIcon(QStringLiteral(":/icons/value.svg")), QIcon(QStringLiteral(":/icons/cog.svg"))};
}

void TfrmMain::FillTree(QTreeWidget& tree, const std::vector<TDeviceTreeNode>& nodes,
                        const std::array<QIcon, 4>& images) {
    // Built apart and handed to the widget in one piece: an item added to a shown tree one at a
    // time costs the model a notification each, which thousands of nodes make the main cost.
    tree.setUpdatesEnabled(false);
    tree.clear();
    QList<QTreeWidgetItem*> topLevel;
    std::vector<QTreeWidgetItem*> path; // the last node at each depth
    std::vector<std::pair<QTreeWidgetItem*, bool>> items;
    items.reserve(nodes.size());
    for (const TDeviceTreeNode& node : nodes) {
        path.resize(
            std::min<std::size_t>(static_cast<std::size_t>(std::max(node.Depth, 0)), path.size()));
        // The parent item, or the tree widget once handed over, owns the new item.
        auto* item = new QTreeWidgetItem();
        item->setText(0, FromText(node.Text));
        if (node.ImageIndex >= 0 && node.ImageIndex < static_cast<int>(images.size())) {
            item->setIcon(0, images[static_cast<std::size_t>(node.ImageIndex)]);
        }
        if (path.empty()) {
            topLevel.append(item);
        } else {
            path.back()->addChild(item);
        }
        path.push_back(item);
        items.emplace_back(item, node.Expanded);
    }
    tree.addTopLevelItems(topLevel);
    for (const auto& [item, expanded] : items) {
        item->setExpanded(expanded);
    }
    tree.setUpdatesEnabled(true);
}

void TfrmMain::RefreshTree() {
    const std::vector<TDeviceTreeNode> nodes = ::RefreshTree(context_);
    FillTree(*tvMain_, nodes, ilMain_);
    devicesStack_->setCurrentWidget(nodes.empty() ? static_cast<QWidget*>(noDevices_) : tvMain_);
}

void TfrmMain::Setup() {
    ShowSetupDialog(this);
}

void TfrmMain::CloseFromMenu() {
    const std::int32_t objects = context_.ServerObjectCount();
    closeConfirmed_ = sessionEnding_ || objects <= 0 ||
                      OperatorMessages().AskYesNo(CloseQuestion(objects), false);
    // The window agreed; before the application ends, the automation runtime checks for
    // objects its clients still hold. No keeps the program running.
    if (closeConfirmed_ && !sessionEnding_ && AutomationObjectCount &&
        AutomationObjectCount() > 0) {
        closeConfirmed_ =
            OperatorMessages().AskWarning("COM Server Warning", TerminationWarning(), false);
    }
    close();
}

void TfrmMain::EndSession() {
    sessionEnding_ = true;
    hide();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!closeConfirmed_) {
        event->ignore();
        hide();
        return;
    }
    event->accept();
    if (OnClosed) {
        OnClosed();
    }
}

void TfrmMain::ShowFromTray() {
    if (!ZEMBSettings().ShowDeviceListLog) {
        return;
    }
    showNormal();
    raise();
    activateWindow();
}

void TfrmMain::OnLogChanged(const TCommunicationLog::TChange& change) {
    const TCommunicationLog& log = CommunicationLog();
    QTextDocument* document = mmMain_->document();
    const auto removeLines = [&](std::uint64_t from, std::uint64_t to) { // view numbers
        if (from >= to) {
            return;
        }
        if (from == viewFirst_ && to == viewNext_) {
            mmMain_->clear();
            return;
        }
        QTextCursor cursor(document);
        const int first = static_cast<int>(from - viewFirst_);
        const int end = static_cast<int>(to - viewFirst_);
        if (to == viewNext_) { // the tail, with the line break before it
            cursor.setPosition(document->findBlockByNumber(first).position() - 1);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        } else { // the head, with the line break after it
            cursor.setPosition(document->findBlockByNumber(first).position());
            cursor.setPosition(document->findBlockByNumber(end).position(),
                               QTextCursor::KeepAnchor);
        }
        cursor.removeSelectedText();
    };

    if (change.Kind == TCommunicationLog::TChangeKind::Cleared) {
        mmMain_->clear();
        viewFirst_ = viewNext_ = log.NextNumber();
        return;
    }
    // The lines from change.First on are new or replaced; lines the log dropped go too.
    const std::uint64_t keep = std::clamp(change.First, viewFirst_, viewNext_);
    removeLines(keep, viewNext_);
    viewNext_ = keep;
    const std::uint64_t dropped = std::clamp(log.FirstNumber(), viewFirst_, viewNext_);
    removeLines(viewFirst_, dropped);
    viewFirst_ = dropped;
    const std::uint64_t from = std::max(viewNext_, log.FirstNumber());
    if (viewFirst_ == viewNext_) {
        viewFirst_ = from;
    }
    QStringList lines;
    for (std::uint64_t number = from; number < log.NextNumber(); ++number) {
        lines.push_back(FromText(log.Line(number)));
    }
    if (!lines.empty()) {
        mmMain_->appendPlainText(lines.join(QLatin1Char('\n')));
    }
    viewNext_ = log.NextNumber();
}
