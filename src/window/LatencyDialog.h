// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LatencySimulation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <string>
#include <vector>

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

    // Held by value, each after its parent, so a child goes before its parent.
    QGroupBox gbMain{this};
    QCheckBox chbIncludePollDelay{&gbMain};
    QLabel lblSettings{&gbMain};
    QComboBox cbSettings{&gbMain};
    QPushButton btnOK{this};
    QPushButton btnCancel{this};
    std::vector<TOffer> offers_; // parallel to cbSettings; the first is "Nabto disabled"

    void Prepare();
    void btnOKClick();
};

// Shows the latency-simulation setup modally.
void ShowLatencyDialog(QWidget* parent);
