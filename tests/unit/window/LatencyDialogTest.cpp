// SPDX-License-Identifier: MIT
#include "window/LatencyDialog.h"

#include "DialogDriver.h"
#include "TempFolder.h"
#include "base/ProfileFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <filesystem>
#include <tuple>

namespace {

// Slow and Fast load; Overlap is rejected at its second line, Empty has no line, and the
// section named like the first entry is never offered as a configuration.
const std::string Configurations =
    "[Slow]\n1=0,64,40,2.5\n2=64,100000,80,10\n[Overlap]\n1=0,100,10,1\n2=50,200,10,1\n"
    "[nabto DISABLED]\n1=0,10,1,1\n[Empty]\n[Fast]\n1=0,1000,5,1\n";

class LatencyDialogTest : public ::testing::Test {
protected:
    void TearDown() override { DestroyNabtoSim(); }

    // The dialog's offer, its preselection and tick, then closed as the step says.
    using TShown = std::tuple<std::vector<std::string>, std::string, bool>;
    static TShown Show(const TDialogStep& close) {
        TShown shown;
        Driven({[&](QDialog& dialog) {
                   const auto& list = Child<QComboBox>(dialog, "cbSettings");
                   for (int i = 0; i < list.count(); ++i)
                       std::get<0>(shown).push_back(list.itemText(i).toStdString());
                   std::get<1>(shown) = list.currentText().toStdString();
                   std::get<2>(shown) = Child<QCheckBox>(dialog, "chbIncludePollDelay").isChecked();
                   close(dialog);
               }},
               [] { return ShowLatencyDialog(nullptr); });
        return shown;
    }

    // The table in force, by the name it carries and the delay it gives 10 bytes.
    static std::tuple<std::string, std::int32_t, bool> InForce() {
        const TNabtoSim& sim = *NabtoSim();
        return {sim.CurrentConfig, sim.IntervalDelay(10), sim.IncludePollDelay};
    }

    TTempFolder folder_;
    TScopedEnv configDir_{"ZEMB_CONFIG_DIR", folder_.Path()};
    TRecordedMessages messages_;
};

// Only configurations that load are offered, after "Nabto disabled"; the saved choice is
// preselected without regard to case and blanks, and one that is not offered selects the
// first entry.
TEST_F(LatencyDialogTest, OffersWhatLoadsAndPreselectsTheSavedChoice) {
    const std::vector<std::string> offer = {"Nabto disabled", "Slow", "Fast"};
    const std::tuple<const char*, std::vector<std::string>, const char*, bool> cases[] = {
        {"CurrentConfig= fast \nIncludePollDelay=0", offer, "Fast", false},
        {"CurrentConfig=Slow", offer, "Slow", true},
        {"CurrentConfig=", offer, "Nabto disabled", true},
        {"CurrentConfig=Overlap", offer, "Nabto disabled", true},
        {nullptr, {"Nabto disabled"}, "Nabto disabled", true}};
    for (const auto& [general, offered, selected, tick] : cases) {
        SCOPED_TRACE(general ? general : "no file");
        std::filesystem::remove(folder_.File("Nabto.ini"));
        if (general)
            folder_.Write("Nabto.ini",
                          "[General]\n" + std::string(general) + "\n" + Configurations);
        EXPECT_EQ(Show([](QDialog& dialog) { ClickLater(dialog, "btnCancel"); }),
                  TShown(offered, selected, tick));
    }
}

// After "Save and close" the chosen table is in force and recorded; "Close without save"
// leaves the table that was in force before, whatever the dialog tried while preparing; a file
// that cannot be written is said and the choice stays in force.
TEST_F(LatencyDialogTest, SaveAndClosePutsTheChosenTableInForce) {
    // clang-format off
    const struct { const char *name, *choose, *closeWith, *savedChoice; bool unwritable;
                   std::tuple<std::string, std::int32_t, bool> inForce; } cases[] = {
        {"another", "Fast", "btnOK", "Fast", false, {"Fast", 15, false}},
        {"disabled", "Nabto disabled", "btnOK", "", false, {"", 0, false}},
        {"without save", "Fast", "btnCancel", "Slow", false, {"Slow", 44, true}},
        {"unwritable", "Fast", "btnOK", "Slow", true, {"Fast", 15, false}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        folder_.Write("Nabto.ini", "[General]\nCurrentConfig=Slow\n" + Configurations);
        std::filesystem::remove(folder_.File("Nabto.ini.tmp"));
        if (c.unwritable)
            std::filesystem::create_directory(folder_.File("Nabto.ini.tmp"));
        messages_.shown.clear();
        CreateNabtoSim();
        ASSERT_EQ(InForce(), std::tuple("Slow", 44, true));
        Show([&](QDialog& dialog) {
            auto& list = Child<QComboBox>(dialog, "cbSettings");
            list.setCurrentIndex(list.findText(QString::fromUtf8(c.choose)));
            QTest::mouseClick(&Child(dialog, "chbIncludePollDelay"), Qt::LeftButton);
            ClickLater(dialog, c.closeWith);
        });
        const TProfileFile file(folder_.File("Nabto.ini"));
        const std::vector<std::string> said = {"Unable to write to " + folder_.File("Nabto.ini")};
        EXPECT_EQ(
            std::tuple(InForce(), file.ReadString("General", "CurrentConfig", "?"),
                       messages_.shown),
            std::tuple(c.inForce, c.savedChoice, c.unwritable ? said : std::vector<std::string>{}));
    }
}

} // namespace
