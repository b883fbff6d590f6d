// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LatencySimulation.h"

#include <QDialog>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

// The latency-simulation setup: offers the configurations of "Nabto.ini" that load, and on
// "Save and close" records the choice and puts its table in force.
class TuFrmNabtoSetup : public QDialog {
public:
    explicit TuFrmNabtoSetup(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct TOffer {
        std::string Name;
        std::vector<TNaptoSimInterval> Intervals; // the table as its trial load left it
    };

    QGroupBox* gbMain;
    QCheckBox* chbIncludePollDelay;
    QLabel* lblSettings;
    QComboBox* cbSettings;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    std::vector<TOffer> offers_; // parallel to cbSettings; the first is "Nabto disabled"

    void Prepare();
    void btnOKClick();
};

// Shows the latency-simulation setup modally.
void ShowLatencyDialog(QWidget* parent);
