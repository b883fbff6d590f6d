// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

// The setup dialog (TfrmZEMBSetup), modal; true when the settings were saved.
bool ShowSetupDialog(QWidget* parent);
