// SPDX-License-Identifier: MIT
#include "window/SetupDialog.h"

#include "base/OperatorMessages.h"
#include "base/Settings.h"
#include "window/DialogFrame.h"
#include "window/LatencyDialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <exception>

namespace {
QCheckBox* AddCheckBox(QWidget* parent, const char* name, const char* caption, const char* hint,
                       int top) {
    auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromUtf8(name));
    box->setToolTip(QString::fromUtf8(hint));
    box->setGeometry(16, top, 160, 17);
    return box;
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* caption, int left, int top) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(QString::fromUtf8(name));
    button->setGeometry(left, top, 129, 25);
    return button;
}
} // namespace

TfrmSetup::TfrmSetup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("ZEMB configuration"));
    SetFixedDialogFrame(*this, 378, 217);

    // Created in tab order; Qt's tab chain follows the order of creation.
    gbMain = new QGroupBox(this);
    gbMain->setObjectName(QStringLiteral("gbMain"));
    gbMain->setGeometry(16, 16, 345, 129);
    chbEnableEEPWrite = AddCheckBox(gbMain, "chbEnableEEPWrite", "Enable EEP Write",
                                    "Enable writing to RUVAzer Eeprom", 20);
    chbShowDeviceListLog = AddCheckBox(gbMain, "chbShowDeviceListLog", "Show Device List/Log",
                                       "Show windows wifh device list and log", 52);
    chbEnableSharedAccess = AddCheckBox(gbMain, "chbEnableSharedAccess", "Enable Shared Access",
                                        "Allow multiple apps to connect to same device", 84);
    btnDefault = AddButton(gbMain, "btnDefault", "Reset settings", 200, 18);
    btnDeleteConfig = AddButton(gbMain, "btnDeleteConfig", "Delete config file", 200, 50);
    btnNaptoConfig = AddButton(gbMain, "btnNaptoConfig", "Napto config", 200, 82);
    btnOK = AddButton(this, "btnOK", "Save and close", 48, 168);
    btnCancel = AddButton(this, "btnCancel", "Close without save", 201, 168);

    connect(btnDefault, &QPushButton::clicked, this, [this] { btnDefaultClick(); });
    connect(btnDeleteConfig, &QPushButton::clicked, this, [this] { btnDeleteConfigClick(); });
    connect(btnNaptoConfig, &QPushButton::clicked, this, [this] { btnNaptoConfigClick(); });
    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    const TZEMBSettings& settings = ZEMBSettings();
    chbEnableEEPWrite->setChecked(settings.EnableEEPWrite);
    chbShowDeviceListLog->setChecked(settings.ShowDeviceListLog);
    chbEnableSharedAccess->setChecked(settings.EnableSharedAccess);
}

void TfrmSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(*this);
    btnCancel->setFocus(Qt::OtherFocusReason);
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
    settings.EnableEEPWrite = chbEnableEEPWrite->isChecked();
    settings.ShowDeviceListLog = chbShowDeviceListLog->isChecked();
    settings.EnableSharedAccess = chbEnableSharedAccess->isChecked();
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
