// The main() of the widget tests: the shared one's, but with a QApplication, on the platform
// the environment names (offscreen unless set; the tray test runs on xcb).
#include "support/TempHome.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir root;
    glimmet::test::TempHome::useProcessRoot(root.path());
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
