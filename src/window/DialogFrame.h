// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QScreen>

// A fixed-size dialog with a single border and no title-bar buttons.
inline void SetFixedDialogFrame(QDialog& dialog, int clientWidth, int clientHeight) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint);
    dialog.setFixedSize(clientWidth, clientHeight);
}

// Centred on the screen rather than over the (usually hidden) main window.
inline void CentreOnScreen(QWidget& widget) {
    if (const QScreen* screen = widget.screen())
        widget.move(screen->availableGeometry().center() - widget.rect().center());
}
