// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QPushButton;

// The setup dialog: the three operator settings, changed in memory at once and written to
// FENWY.INI only on "Save and close", and the way to the latency-simulation setup.
class TfrmSetup : public QDialog {
public:
    explicit TfrmSetup(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QGroupBox* gbMain;
    QCheckBox* chbEnableEEPWrite;
    QCheckBox* chbShowDeviceListLog;
    QCheckBox* chbEnableSharedAccess;
    QPushButton* btnDefault;
    QPushButton* btnDeleteConfig;
    QPushButton* btnNaptoConfig;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnDefaultClick();
    void btnDeleteConfigClick();
    void btnNaptoConfigClick();
    void btnOKClick();
};

// Shows the setup dialog modally with the settings as they are in memory; true when it was
// closed with "Save and close".
bool ShowSetupDialog(QWidget* parent);
