// Test main for the windowed program's tests: a QApplication on the off-screen platform, so the
// tests run without a display.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        char runtime[] = "/tmp/solvane-runtime-XXXXXX";  // private to this process, as Qt wants it
        if (::mkdtemp(runtime) != nullptr) setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
