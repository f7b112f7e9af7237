// The main() of every test executable: an application on the platform the environment names
// (offscreen unless set; the tray test runs on xcb), with HOME, the XDG folders and the
// settings store inside one temporary folder per process. The widget tests build it with
// GLIMMET_TEST_WIDGETS for a QApplication.
#include "support/TempHome.h"

#include <QTemporaryDir>
#ifdef GLIMMET_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir root;
    glimmet::test::TempHome::useProcessRoot(root.path());
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
