// SPDX-License-Identifier: MIT
#include "window/QtMessages.h"

#include <QMessageBox>
#include <QString>

namespace {
QString FromText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
} // namespace

void TQtOperatorMessages::ShowInformation(std::string_view text) {
    QMessageBox::information(nullptr, QStringLiteral("Information"), FromText(text));
}

void TQtOperatorMessages::ShowError(std::string_view text) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"), FromText(text));
}

bool TQtOperatorMessages::AskYesNo(std::string_view text, bool safeAnswer) {
    const auto answer = QMessageBox::question(nullptr, QStringLiteral("Confirm"), FromText(text),
                                              QMessageBox::Yes | QMessageBox::No,
                                              safeAnswer ? QMessageBox::Yes : QMessageBox::No);
    return answer == QMessageBox::Yes;
}

bool TQtOperatorMessages::AskWarning(std::string_view caption, std::string_view text,
                                     bool safeAnswer) {
    QMessageBox box(QMessageBox::Warning, FromText(caption), FromText(text),
                    QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(safeAnswer ? QMessageBox::Yes : QMessageBox::No);
    // Nothing else of the application takes input while it asks.
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Yes;
}
