// SPDX-License-Identifier: MIT
#include "window/SetupDialog.h"

#include "DialogDriver.h"
#include "TempFolder.h"
#include "base/ProfileFile.h"
#include "base/Settings.h"

#include <QCheckBox>
#include <QPushButton>
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
        return TSwitches{file.ReadBool("General", "EnableEEPWrite", false),
                         file.ReadBool("General", "ShowDeviceListLog", false),
                         file.ReadBool("General", "EnableSharedAccess", false)};
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
    struct Row {
        const char* name;
        const char* text;
        const char* hint;
    };
    const std::vector<Row> controls = {
        {"chbEnableEEPWrite", "Enable EEP Write", "Enable writing to RUVAzer Eeprom"},
        {"chbShowDeviceListLog", "Show Device List/Log", "Show windows wifh device list and log"},
        {"chbEnableSharedAccess", "Enable Shared Access",
         "Allow multiple apps to connect to same device"},
        {"btnDefault", "Reset settings", ""},
        {"btnDeleteConfig", "Delete config file", ""},
        {"btnNaptoConfig", "Napto config", ""},
        {"btnOK", "Save and close", ""},
        {"btnCancel", "Close without save", ""},
    };
    std::vector<Row> seen;
    std::vector<std::string> tabOrder;
    TSwitches ticked;
    std::string focused, latencyCaption;
    const bool saved = [&] {
        TModalDriver driver({
            [&](QDialog& setup) {
                EXPECT_EQ(std::tuple(setup.windowTitle().toStdString(), setup.size()),
                          std::tuple("ZEMB configuration", QSize(378, 217)));
                for (const Row& row : controls) {
                    auto& control = Child<QAbstractButton>(setup, row.name);
                    EXPECT_EQ(control.text().toStdString(), row.text) << row.name;
                    EXPECT_EQ(control.toolTip().toStdString(), row.hint) << row.name;
                }
                QWidget* w = &Child(setup, controls.front().name);
                for (int i = 0; i < 50 && tabOrder.size() < controls.size();
                     ++i, w = w->nextInFocusChain())
                    if (w->focusPolicy() & Qt::TabFocus)
                        tabOrder.push_back(w->objectName().toStdString());
                ticked = {Child<QCheckBox>(setup, "chbEnableEEPWrite").isChecked(),
                          Child<QCheckBox>(setup, "chbShowDeviceListLog").isChecked(),
                          Child<QCheckBox>(setup, "chbEnableSharedAccess").isChecked()};
                focused = QApplication::focusWidget()
                              ? QApplication::focusWidget()->objectName().toStdString()
                              : "";
                ClickLater(setup, "btnNaptoConfig");
            },
            [&](QDialog& latency) {
                latencyCaption = latency.windowTitle().toStdString();
                ClickLater(latency, "btnCancel");
            },
            [&](QDialog& setup) { ClickLater(setup, "btnCancel"); },
        });
        return ShowSetupDialog(nullptr);
    }();
    std::vector<std::string> names;
    for (const Row& row : controls)
        names.emplace_back(row.name);
    EXPECT_EQ(tabOrder, names);
    EXPECT_EQ(ticked, TSwitches(false, true, false));
    EXPECT_EQ(focused, "btnCancel");
    EXPECT_EQ(latencyCaption, "uFrmNabtoSetup");
    EXPECT_FALSE(saved);
    EXPECT_FALSE(folder_.Exists("FENWY.INI"));
}

// The three sequences: "Reset settings" and "Delete config file" change the settings in
// memory at once but not the check boxes; "Save and close" writes what the boxes show, and is
// the only way to the file.
TEST_F(SetupDialogTest, ResetAndDeleteActInMemoryAndSaveWritesTheCheckBoxes) {
    struct Case {
        const char* name;
        const char* button;
        bool tickShowList; // a box ticked after the click: saving reads the boxes
        const char* closeWith;
        TSwitches memory;
        std::optional<TSwitches> file;
    };
    const TSwitches before{true, false, true};
    const std::vector<Case> cases = {
        {"reset, close without save",
         "btnDefault",
         false,
         "btnCancel",
         {false, false, false},
         before},
        {"delete, save and close",
         "btnDeleteConfig",
         true,
         "btnOK",
         {true, true, true},
         TSwitches{true, true, true}},
        {"reset, save and close", "btnDefault", false, "btnOK", before, before},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        folder_.Write("FENWY.INI", "[General]\nEnableEEPWrite=1\nEnableSharedAccess=1\n");
        LoadSettings();
        TSwitches afterClick;
        const bool saved = [&] {
            TModalDriver driver({[&](QDialog& setup) {
                QTest::mouseClick(&Child(setup, c.button), Qt::LeftButton);
                afterClick = InMemory();
                if (c.tickShowList)
                    QTest::mouseClick(&Child(setup, "chbShowDeviceListLog"), Qt::LeftButton);
                ClickLater(setup, c.closeWith);
            }});
            return ShowSetupDialog(nullptr);
        }();
        EXPECT_EQ(afterClick, TSwitches(false, false, false));
        EXPECT_EQ(saved, std::string(c.closeWith) == "btnOK");
        EXPECT_EQ(InMemory(), c.memory);
        EXPECT_EQ(InFile(), c.file);
    }
}

// A settings file that cannot be written: the message names it, the settings keep what the
// check boxes said, and the dialog closes.
TEST_F(SetupDialogTest, UnwritableFileIsSaidAndNothingIsLostInMemory) {
    folder_.Write("FENWY.INI", "[General]\nShowDeviceListLog=1\n");
    std::filesystem::create_directory(folder_.File("FENWY.INI.tmp"));
    LoadSettings();
    const bool saved = [&] {
        TModalDriver driver({[&](QDialog& setup) {
            QTest::mouseClick(&Child(setup, "chbEnableEEPWrite"), Qt::LeftButton);
            ClickLater(setup, "btnOK");
        }});
        return ShowSetupDialog(nullptr);
    }();
    EXPECT_TRUE(saved);
    EXPECT_EQ(messages_.shown,
              std::vector<std::string>{"Unable to write to " + folder_.File("FENWY.INI")});
    EXPECT_EQ(InMemory(), TSwitches(true, true, false));
    EXPECT_EQ(InFile(), TSwitches(false, true, false));
}

} // namespace
