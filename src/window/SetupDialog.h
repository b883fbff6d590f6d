// SPDX-License-Identifier: MIT
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QPushButton>

// The setup dialog: the three operator settings, changed in memory at once and written to
// FENWY.INI only on "Save and close", and the way to the latency-simulation setup.
class TfrmSetup : public QDialog {
public:
    explicit TfrmSetup(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Held by value, each after its parent, so a child goes before its parent; created in tab
    // order, which Qt's tab chain follows.
    QGroupBox gbMain{this};
    QCheckBox chbEnableEEPWrite{&gbMain};
    QCheckBox chbShowDeviceListLog{&gbMain};
    QCheckBox chbEnableSharedAccess{&gbMain};
    QPushButton btnDefault{&gbMain};
    QPushButton btnDeleteConfig{&gbMain};
    QPushButton btnNaptoConfig{&gbMain};
    QPushButton btnOK{this};
    QPushButton btnCancel{this};

    void btnDefaultClick();
    void btnDeleteConfigClick();
    void btnNaptoConfigClick();
    void btnOKClick();
};

// Shows the setup dialog modally with the settings as they are in memory; true when it was
// closed with "Save and close".
bool ShowSetupDialog(QWidget* parent);
