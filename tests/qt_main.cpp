// Test entry for the tests that need widgets and an event loop: a QApplication on the
// offscreen platform around GoogleTest.
#include <QApplication>
#include <gtest/gtest.h>

#include "app/KadrelApplication.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    KadrelApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
