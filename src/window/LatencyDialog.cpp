// SPDX-License-Identifier: MIT
#include "window/LatencyDialog.h"

#include "base/OperatorMessages.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "window/DialogFrame.h"

#include <exception>

namespace {
constexpr const char* NabtoDisabled = "Nabto disabled";
}

TuFrmNabtoSetup::TuFrmNabtoSetup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("uFrmNabtoSetup"));
    setWindowTitle(QStringLiteral("uFrmNabtoSetup"));
    SetFixedDialogFrame(*this, 378, 180);

    gbMain.setObjectName(QStringLiteral("gbMain"));
    gbMain.setGeometry(16, 16, 345, 105);
    chbIncludePollDelay.setObjectName(QStringLiteral("chbIncludePollDelay"));
    chbIncludePollDelay.setText(QStringLiteral("Include PollDelay"));
    chbIncludePollDelay.setToolTip(QStringLiteral("Include Poll delay"));
    chbIncludePollDelay.setGeometry(16, 20, 200, 17);
    lblSettings.setObjectName(QStringLiteral("lblSettings"));
    lblSettings.setText(QStringLiteral("Choose setting:"));
    lblSettings.setGeometry(16, 48, 200, 17);
    cbSettings.setObjectName(QStringLiteral("cbSettings"));
    cbSettings.setEditable(false);
    cbSettings.setGeometry(16, 68, 313, 23);
    lblSettings.setBuddy(&cbSettings);

    btnOK.setObjectName(QStringLiteral("btnOK"));
    btnOK.setText(QStringLiteral("Save and close"));
    btnOK.setGeometry(48, 136, 129, 25);
    btnCancel.setObjectName(QStringLiteral("btnCancel"));
    btnCancel.setText(QStringLiteral("Close without save"));
    btnCancel.setGeometry(201, 136, 129, 25);

    connect(&btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    connect(&btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    Prepare();
}

void TuFrmNabtoSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(*this);
}

// Each configuration is tried on a simulator of its own, so that the table in force stays as
// it is until "Save and close" puts the chosen one in force.
void TuFrmNabtoSetup::Prepare() {
    const TProfileFile file(TNabtoSim::FileName());
    TNabtoSim trial;
    const bool includePollDelay = trial.IncludePollDelay;

    offers_.clear();
    offers_.push_back({NabtoDisabled, {}});
    for (const std::string& section : file.ReadSections()) {
        if (ZEMB::SameText(section, "General") || ZEMB::SameText(section, NabtoDisabled))
            continue;
        if (trial.Load(section) && !trial.Intervals.empty())
            offers_.push_back({section, trial.Intervals});
    }

    std::string chosen = TrimText(file.ReadString("General", "CurrentConfig", ""));
    if (chosen.empty())
        chosen = NabtoDisabled;
    int selected = 0;
    cbSettings.clear();
    for (std::size_t i = 0; i < offers_.size(); ++i) {
        cbSettings.addItem(QString::fromStdString(offers_[i].Name));
        if (selected == 0 && ZEMB::SameText(offers_[i].Name, chosen))
            selected = static_cast<int>(i);
    }
    cbSettings.setCurrentIndex(selected);
    chbIncludePollDelay.setChecked(includePollDelay);
}

void TuFrmNabtoSetup::btnOKClick() {
    // Without the process-wide simulator the choice is still recorded in the file.
    TNabtoSim* sim = NabtoSim();
    TNabtoSim fallback;
    if (sim == nullptr)
        sim = &fallback;
    const int index = cbSettings.currentIndex();
    const bool disabled = index <= 0 || static_cast<std::size_t>(index) >= offers_.size();
    sim->IncludePollDelay = chbIncludePollDelay.isChecked();
    sim->CurrentConfig = disabled ? std::string() : offers_[static_cast<std::size_t>(index)].Name;
    sim->Intervals = disabled ? std::vector<TNaptoSimInterval>()
                              : offers_[static_cast<std::size_t>(index)].Intervals;
    try {
        sim->Save();
    } catch (const std::exception& error) {
        // "Unable to write to <path>": the choice stays in force for this process.
        OperatorMessages().ShowError(error.what());
    }
    accept();
}

void ShowLatencyDialog(QWidget* parent) {
    TuFrmNabtoSetup dialog(parent);
    dialog.exec();
}
