// SPDX-License-Identifier: MIT
#include "window/SetupDialog.h"

#include "DialogDriver.h"
#include "TempFolder.h"
#include "base/ProfileFile.h"
#include "base/Settings.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <optional>
#include <tuple>

namespace {

using TSwitches = std::tuple<bool, bool, bool>;

TSwitches InMemory() {
    const TZEMBSettings& s = ZEMBSettings();
    return {s.EnableEEPWrite, s.ShowDeviceListLog, s.EnableSharedAccess};
}

class SetupDialogTest : public ::testing::Test {
protected:
    void TearDown() override { ResetSettings(); }

    // The three keys of FENWY.INI; none when the file is missing.
    std::optional<TSwitches> InFile() const {
        if (!folder_.Exists("FENWY.INI"))
            return std::nullopt;
        const TProfileFile file(folder_.File("FENWY.INI"));
        const auto key = [&](const char* name) { return file.ReadBool("General", name, false); };
        return TSwitches{key("EnableEEPWrite"), key("ShowDeviceListLog"),
                         key("EnableSharedAccess")};
    }

    TTempFolder folder_;
    TScopedEnv configDir_{"ZEMB_CONFIG_DIR", folder_.Path()};
    TRecordedMessages messages_;
};

// The face of the dialog: caption, size, captions and hints in tab order, the check boxes
// showing the settings in memory, the focus on "Close without save"; "Napto config" opens the
// latency dialog over it.
TEST_F(SetupDialogTest, ShowsTheSettingsWithItsTextsAndReachesTheLatencyDialog) {
    ZEMBSettings().ShowDeviceListLog = true;
    using TControl = std::tuple<std::string, std::string, std::string, bool>;
    const std::vector<TControl> controls = {
        {"chbEnableEEPWrite", "Enable EEP Write", "Enable writing to RUVAzer Eeprom", false},
        {"chbShowDeviceListLog", "Show Device List/Log", "Show windows wifh device list and log",
         true},
        {"chbEnableSharedAccess", "Enable Shared Access",
         "Allow multiple apps to connect to same device", false},
        {"btnDefault", "Reset settings", "", false},
        {"btnDeleteConfig", "Delete config file", "", false},
        {"btnNaptoConfig", "Napto config", "", false},
        {"btnOK", "Save and close", "", false},
        {"btnCancel", "Close without save", "", false}};
    const auto setup = [&](QDialog& setup) {
        EXPECT_EQ(std::tuple(setup.windowTitle().toStdString(), setup.size()),
                  std::tuple("ZEMB configuration", QSize(378, 217)));
        // The controls in tab order, with their texts, hints and ticks.
        std::vector<TControl> shown;
        QWidget* w = &Child(setup, "chbEnableEEPWrite");
        for (int i = 0; i < 50 && shown.size() < controls.size(); ++i, w = w->nextInFocusChain())
            if (auto* b = qobject_cast<QAbstractButton*>(w); w->focusPolicy() & Qt::TabFocus)
                shown.emplace_back(w->objectName().toStdString(), b ? b->text().toStdString() : "",
                                   b ? b->toolTip().toStdString() : "", b && b->isChecked());
        EXPECT_EQ(shown, controls);
        // Focus arrives with the window's activation, which a slow run sees later.
        EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::focusWidget() != nullptr; }, 5000));
        QWidget* focus = QApplication::focusWidget();
        EXPECT_EQ(focus ? focus->objectName().toStdString() : "", "btnCancel");
        ClickLater(setup, "btnNaptoConfig");
    };
    const auto latency = [&](QDialog& latency) {
        EXPECT_EQ(latency.windowTitle().toStdString(), "uFrmNabtoSetup");
        ClickLater(latency, "btnCancel");
    };
    const auto close = [&](QDialog& setup) { ClickLater(setup, "btnCancel"); };
    EXPECT_FALSE(Driven({setup, latency, close}, [] { return ShowSetupDialog(nullptr); }));
    EXPECT_FALSE(folder_.Exists("FENWY.INI"));
}

// The sequences: "Reset settings" and "Delete config file" change the settings in memory at
// once but not the check boxes, a check box alone changes nothing in memory; "Save and close"
// writes what the boxes show, and is the only way to the file. A file that cannot be written
// is said, the settings keep what the check boxes said, and the dialog closes.
TEST_F(SetupDialogTest, ResetAndDeleteActInMemoryAndSaveWritesTheCheckBoxes) {
    const TSwitches before{true, false, true}, none{false, false, false}, all{true, true, true};
    // tickShowList: a box ticked after the click, since saving reads the boxes.
    // clang-format off
    const struct { const char *name, *button, *closeWith; bool tickShowList, unwritable;
                   TSwitches afterClick, memory; std::optional<TSwitches> file; } cases[] = {
        {"reset, close without save", "btnDefault", "btnCancel", false, false, none, none, before},
        {"delete, save and close", "btnDeleteConfig", "btnOK", true, false, none, all, all},
        {"reset, save and close", "btnDefault", "btnOK", false, false, none, before, before},
        {"unwritable", "chbShowDeviceListLog", "btnOK", false, true, before, all, before}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        folder_.Write("FENWY.INI", "[General]\nEnableEEPWrite=1\nEnableSharedAccess=1\n");
        if (c.unwritable)
            std::filesystem::create_directory(folder_.File("FENWY.INI.tmp"));
        LoadSettings();
        TSwitches afterClick;
        const bool saved =
            Driven({[&](QDialog& setup) {
                       QTest::mouseClick(&Child(setup, c.button), Qt::LeftButton);
                       afterClick = InMemory();
                       if (c.tickShowList)
                           QTest::mouseClick(&Child(setup, "chbShowDeviceListLog"), Qt::LeftButton);
                       ClickLater(setup, c.closeWith);
                   }},
                   [] { return ShowSetupDialog(nullptr); });
        const std::vector<std::string> said = {"Unable to write to " + folder_.File("FENWY.INI")};
        EXPECT_EQ(std::tuple(afterClick, saved, InMemory(), InFile(), messages_.shown),
                  std::tuple(c.afterClick, std::string(c.closeWith) == "btnOK", c.memory, c.file,
                             c.unwritable ? said : std::vector<std::string>{}));
    }
}

} // namespace
