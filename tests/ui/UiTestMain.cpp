// The main() of the widget tests: like the shared one, but a QApplication, since the menu
// and the popover are widgets. The platform comes from the environment (offscreen by
// default; the tray test runs on xcb).
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
