// SPDX-License-Identifier: MIT
#include "window/SetupDialog.h"

#include "base/OperatorMessages.h"
#include "base/Settings.h"
#include "window/DialogFrame.h"
#include "window/LatencyDialog.h"

#include <exception>

namespace {
void Place(QAbstractButton& control, const char* name, const char* caption, const char* hint,
           QRect geometry) {
    control.setObjectName(QString::fromUtf8(name));
    control.setText(QString::fromUtf8(caption));
    control.setToolTip(QString::fromUtf8(hint));
    control.setGeometry(geometry);
}

QRect CheckBoxAt(int top) {
    return {16, top, 160, 17};
}
QRect ButtonAt(int left, int top) {
    return {left, top, 129, 25};
}
} // namespace

TfrmSetup::TfrmSetup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("ZEMB configuration"));
    SetFixedDialogFrame(*this, 378, 217);

    gbMain.setObjectName(QStringLiteral("gbMain"));
    gbMain.setGeometry(16, 16, 345, 129);
    Place(chbEnableEEPWrite, "chbEnableEEPWrite", "Enable EEP Write",
          "Enable writing to RUVAzer Eeprom", CheckBoxAt(20));
    Place(chbShowDeviceListLog, "chbShowDeviceListLog", "Show Device List/Log",
          "Show windows wifh device list and log", CheckBoxAt(52));
    Place(chbEnableSharedAccess, "chbEnableSharedAccess", "Enable Shared Access",
          "Allow multiple apps to connect to same device", CheckBoxAt(84));
    Place(btnDefault, "btnDefault", "Reset settings", "", ButtonAt(200, 18));
    Place(btnDeleteConfig, "btnDeleteConfig", "Delete config file", "", ButtonAt(200, 50));
    Place(btnNaptoConfig, "btnNaptoConfig", "Napto config", "", ButtonAt(200, 82));
    Place(btnOK, "btnOK", "Save and close", "", ButtonAt(48, 168));
    Place(btnCancel, "btnCancel", "Close without save", "", ButtonAt(201, 168));

    connect(&btnDefault, &QPushButton::clicked, this, [this] { btnDefaultClick(); });
    connect(&btnDeleteConfig, &QPushButton::clicked, this, [this] { btnDeleteConfigClick(); });
    connect(&btnNaptoConfig, &QPushButton::clicked, this, [this] { btnNaptoConfigClick(); });
    connect(&btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    connect(&btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    const TZEMBSettings& settings = ZEMBSettings();
    chbEnableEEPWrite.setChecked(settings.EnableEEPWrite);
    chbShowDeviceListLog.setChecked(settings.ShowDeviceListLog);
    chbEnableSharedAccess.setChecked(settings.EnableSharedAccess);
}

void TfrmSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(*this);
    btnCancel.setFocus(Qt::OtherFocusReason);
}

// The three switches only: the log length is read at start-up and stays as it is.
void TfrmSetup::btnDefaultClick() {
    TZEMBSettings& settings = ZEMBSettings();
    settings.EnableEEPWrite = false;
    settings.ShowDeviceListLog = false;
    settings.EnableSharedAccess = false;
}

void TfrmSetup::btnDeleteConfigClick() {
    DeleteSettings();
}

void TfrmSetup::btnNaptoConfigClick() {
    ShowLatencyDialog(this);
}

void TfrmSetup::btnOKClick() {
    TZEMBSettings& settings = ZEMBSettings();
    settings.EnableEEPWrite = chbEnableEEPWrite.isChecked();
    settings.ShowDeviceListLog = chbShowDeviceListLog.isChecked();
    settings.EnableSharedAccess = chbEnableSharedAccess.isChecked();
    try {
        SaveSettings();
    } catch (const std::exception& error) {
        // "Unable to write to <path>": the settings keep the values just given, and the
        // dialog closes all the same.
        OperatorMessages().ShowError(error.what());
    }
    accept();
}

bool ShowSetupDialog(QWidget* parent) {
    TfrmSetup dialog(parent);
    return dialog.exec() == QDialog::Accepted;
}
