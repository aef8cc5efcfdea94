// Test main for every test program: runs headless unless a display platform was chosen, and
// answers every message box and modal window so that no test can hang on one.
#include "tests/TestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    zel::test::InstallDefaultAnswers();
    return RUN_ALL_TESTS();
}
