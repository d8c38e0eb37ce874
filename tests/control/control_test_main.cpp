// Test main for the windowed program's tests: a QApplication on the off-screen platform, on a
// desktop of two monitors side by side: the primary of 1600 x 1200 pixels, large enough for four
// Full panels, and a laptop screen of 1366 x 768 to its right, too small for three. Both show one
// device pixel a pixel. Another platform chosen in QT_QPA_PLATFORM is kept.
#include <QApplication>

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    char runtime[] = "/tmp/solvane-runtime-XXXXXX";  // private to this process, as Qt wants it
    if (::mkdtemp(runtime) == nullptr) return 1;
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) setenv("XDG_RUNTIME_DIR", runtime, 1);
    const std::string screens = std::string(runtime) + "/screens.json";
    if (platform == nullptr || std::strcmp(platform, "offscreen") == 0) {
        std::ofstream(screens) << R"({"screens": [
            {"name": "primary", "x": 0, "y": 0, "width": 1600, "height": 1200, "dpr": 1},
            {"name": "laptop", "x": 1600, "y": 0, "width": 1366, "height": 768, "dpr": 1}]})";
        setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens).c_str(), 1);
    }
    int result = 1;
    {
        QApplication application(argc, argv);
        ::unlink(screens.c_str());  // read as the platform started
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    remove_temp_tree(runtime);  // with whatever Qt left in it, failed tests or not
    return result;
}
