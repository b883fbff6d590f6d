// SPDX-License-Identifier: MIT
#include <QApplication>
#include <gtest/gtest.h>

// One application object for every widget test, on the offscreen platform whatever the
// environment says, so no test needs or touches a display.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
