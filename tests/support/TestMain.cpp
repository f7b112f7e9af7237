// The main() of every test executable: a GUI application on the offscreen platform, with
// HOME, the XDG folders and the settings store inside one temporary folder per process.
#include "support/TempHome.h"

#include <QGuiApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir root;
    glimmet::test::TempHome::useProcessRoot(root.path());
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
