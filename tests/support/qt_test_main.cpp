// Test main for the windowed program's tests: a QApplication on the off-screen platform, so the
// tests run without a display.
#include <QApplication>

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char runtime[] = "/tmp/solvane-runtime-XXXXXX";  // private to this process, as Qt wants it
    const bool made = std::getenv("XDG_RUNTIME_DIR") == nullptr && ::mkdtemp(runtime) != nullptr;
    if (made) setenv("XDG_RUNTIME_DIR", runtime, 1);
    int result = 1;
    {
        QApplication application(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (made) remove_temp_tree(runtime);  // with whatever Qt left in it, failed tests or not
    return result;
}
