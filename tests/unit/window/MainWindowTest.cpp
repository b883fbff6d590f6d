// SPDX-License-Identifier: MIT
#include "window/MainWindow.h"

#include "HostFixture.h"
#include "TempFolder.h"
#include "base/DebugLog.h"
#include "base/OperatorMessages.h"
#include "base/VersionRecord.h"
#include "server/CommunicationLog.h"
#include "server/ServerObject.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <memory>
#include <optional>

// Readable failures.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {
// The operator's answers ('Y' or 'N', one a question), given in advance; the questions asked
// are kept as "caption: text" (no caption for a plain question).
class TAnsweringMessages final : public IOperatorMessages {
public:
    std::string Answers;
    std::vector<std::string> Asked;
    void ShowInformation(std::string_view) override {}
    void ShowError(std::string_view) override {}
    bool AskYesNo(std::string_view text, bool) override { return Answer(std::string(text)); }
    bool AskWarning(std::string_view caption, std::string_view text, bool) override {
        return Answer(std::string(caption) + ": " + std::string(text));
    }

private:
    bool Answer(std::string asked) {
        Asked.push_back(std::move(asked));
        return Asked.size() <= Answers.size() && Answers[Asked.size() - 1] == 'Y';
    }
};

// One window over a context on the fake host, with the configuration folder empty; the
// application object is WindowTestMain's.
class MainWindowTest : public THostTest {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        auto messages = std::make_unique<TAnsweringMessages>();
        messages_ = messages.get();
        SetOperatorMessages(std::move(messages));
        CommunicationLog().SetMaxLines(0);
        CommunicationLog().Clear();
        context_.emplace(Container());
    }
    void TearDown() override {
        window_.reset();
        context_.reset();
        SetOperatorMessages(nullptr);
    }
    TfrmMain& Window(std::vector<std::string> args = {}) {
        window_.reset(); // listeners are chained: the last one made goes first
        window_ = std::make_unique<TfrmMain>(*context_, std::move(args));
        window_->OnClosed = [this] { ++closed_; };
        return *window_;
    }
    QStringList View() const {
        const QString text = window_->Log()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    static QAction* Item(QMenu* menu, const char* name) {
        return menu->findChild<QAction*>(QString::fromLatin1(name));
    }

    TTempFolder config_;
    TScopedEnv configDir_{"ZEMB_CONFIG_DIR", config_.Path()};
    TAnsweringMessages* messages_ = nullptr;
    std::optional<TServerContext> context_;
    std::unique_ptr<TfrmMain> window_;
    int closed_ = 0;
};
} // namespace

// First in the file: the notice is once per process.
TEST_F(MainWindowTest, WithoutATrayTheWindowWorksAndSaysSoOnce) {
    int notices = 0;
    const TDebugOutputSink previous = SetDebugOutputSink([&](std::string_view line, auto) {
        notices += line.find("no notification area") != line.npos;
    });
    Window();
    Window();
    SetDebugOutputSink(previous);
    EXPECT_EQ(notices, 1);
    CommunicationLog().Append("still current");
    EXPECT_THAT(View(), ElementsAre("still current"));
}

TEST_F(MainWindowTest, CaptionCarriesTheBuildAndTheTipIsCutTo63Characters) {
    EXPECT_EQ(Window().windowTitle(), TfrmMain::CaptionFor(GetOwnVersionString()));
    const std::pair<std::string, QString> cases[] = {
        {"1.0.0.1", "Tavro USB Link communication (build: 1.0.0.1)"},
        {"1.0.0.1 Debug Pre-release Private build Special build",
         "Tavro USB Link communication (build: 1.0.0.1 Debug Pre-release "}};
    for (const auto& [build, tip] : cases)
        EXPECT_EQ(TfrmMain::TipFor(TfrmMain::CaptionFor(build)), tip) << build;
}

TEST_F(MainWindowTest, CloseAsksWhileServerObjectsLiveAndARefusedCloseHides) {
    // Answers: the operator's, one a question; every question asked gets one.
    // clang-format off
    const struct { int Objects; bool SessionEnding; std::string Answers; bool Closed; } cases[] = {
        {0, false, "", true}, {2, false, "N", false},
        {2, false, "YN", false}, // asks twice; No to the second keeps running
        {2, false, "YY", true}, // Yes to both ends
        {2, true, "", true}};
    // clang-format on
    const std::vector<std::string> questions = {
        "ZEMB server has 2 active connection(s). Terminating this application will cause "
        "connected clients to fail.\nDo you want to terminate anyway?",
        "COM Server Warning: There are still active COM objects in this application.  One or "
        "more clients may have references to these objects, so manually closing this "
        "application may cause those client application(s) to fail.\n\nAre you sure you want "
        "to close this application?"};
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<TZEMBServer4>> objects;
        for (int n = 0; n < c.Objects; ++n)
            objects.push_back(std::make_unique<TZEMBServer4>(*context_));
        TfrmMain& window = Window();
        // Each client's object is one of the automation runtime's too.
        window.AutomationObjectCount = [&objects] { return static_cast<int>(objects.size()); };
        window.show();
        if (c.SessionEnding)
            window.EndSession();
        messages_->Answers = c.Answers;
        messages_->Asked.clear();
        closed_ = 0;
        Item(window.TrayMenu(), "miClose")->trigger();

        const auto what = testing::Message() << c.Objects << " objects, answers " << c.Answers;
        EXPECT_EQ(messages_->Asked,
                  std::vector(questions.begin(), questions.begin() + c.Answers.size()))
            << what;
        // Refused or not, the window is hidden.
        EXPECT_EQ(std::tuple(closed_, window.CloseConfirmed(), window.isVisible()),
                  std::tuple(c.Closed ? 1 : 0, c.Closed, false))
            << what;
        window_.reset();
    }
}

TEST_F(MainWindowTest, TrayMenuOffersSetupOnlyWhenAllowed) {
    // clang-format off
    const struct { std::vector<std::string> Args; bool SettingsFile, Allowed; } cases[] = {
        {{}, false, false}, {{"-Embedding", "/config"}, false, true}, {{"-CoNfIg"}, false, true},
        {{"config"}, false, false}, {{}, true, true}};
    // clang-format on
    for (const auto& c : cases) {
        if (c.SettingsFile)
            config_.Write("FENWY.INI", "[Settings]\n");
        TfrmMain& window = Window(c.Args);
        emit window.TrayMenu()->aboutToShow();
        EXPECT_EQ(Item(window.TrayMenu(), "miSetup")->isVisible(), c.Allowed)
            << testing::PrintToString(c.Args);
        EXPECT_TRUE(Item(window.TrayMenu(), "miClose")->isVisible());
    }
    EXPECT_EQ(Item(window_->TrayMenu(), "miSetup")->text(), "Edit/create Fenwy.Ini");
    EXPECT_EQ(Item(window_->TrayMenu(), "miClose")->text(), "&Close");
}

TEST_F(MainWindowTest, TreeShowsTheNodesWithTheirImagesAndNoDevicesWhenEmpty) {
    TfrmMain& window = Window();
    EXPECT_TRUE(window.NoDevices()->isVisibleTo(&window) && !window.Tree()->isVisibleTo(&window));
    EXPECT_EQ(window.NoDevices()->text(), "No devices detected");

    QTreeWidget tree;
    // clang-format off
    TfrmMain::FillTree(tree, {{"DevID: 0", 0, 0, true}, {"Active: True", 2, 1, false},
        {"Info:", 1, 1, false}, {"SerialNumber: A1", 2, 2, false}, {"ConnectID: 3", 3, 1, true},
        {"DevID: 1", 0, 0, false}, {"Active: False", 2, 1, false}}, TfrmMain::ImageList());
    // clang-format on
    // Each node indented by its depth; "+" where it has children and shows them.
    QStringList shown;
    for (QTreeWidgetItemIterator it(&tree); *it; ++it) {
        const QTreeWidgetItem* item = *it;
        QString indent;
        for (auto* parent = item->parent(); parent; parent = parent->parent())
            indent += ' ';
        shown << indent + item->text(0) + (item->childCount() && item->isExpanded() ? " +" : "");
    }
    EXPECT_THAT(shown, ElementsAre("DevID: 0 +", " Active: True", " Info:", "  SerialNumber: A1",
                                   " ConnectID: 3", "DevID: 1", " Active: False"));
    for (const QIcon& image : TfrmMain::ImageList())
        EXPECT_FALSE(image.pixmap(16, 16).isNull()) << "the images load from the resources";
}

TEST_F(MainWindowTest, LogViewFollowsTheSharedLog) {
    CommunicationLog().Append("before the window");
    TfrmMain& window = Window();
    EXPECT_THAT(View(), ElementsAre("before the window"));

    CommunicationLog().AppendLines({"a", "b", "c"});
    EXPECT_THAT(View(), ElementsAre("before the window", "a", "b", "c"));
    const std::uint64_t b = CommunicationLog().NextNumber() - 2;
    ASSERT_TRUE(CommunicationLog().ReplaceLines(b, {"B", "C"}));
    EXPECT_THAT(View(), ElementsAre("before the window", "a", "B", "C"));
    CommunicationLog().SetMaxLines(2);
    CommunicationLog().Append("d");
    EXPECT_THAT(View(), ElementsAre("C", "d")) << "the oldest lines go with the log's";

    CommunicationLog().Clear();
    EXPECT_TRUE(View().isEmpty());
    CommunicationLog().Append("after");
    EXPECT_THAT(View(), ElementsAre("after"));

    Item(window.LogMenu(), "miClear")->trigger();
    EXPECT_EQ(CommunicationLog().Count(), 0u) << "the window's Clear clears the shared log";
    EXPECT_TRUE(View().isEmpty());
}
