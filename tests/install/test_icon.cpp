// The desktop's icon is the window's icon: the PNGs the build draws for the icon theme
// (dist/icons/render_icon.cpp) hold the same pixels as program_icon() at every size the window
// icon has, so a change to one drawing without the other shows here.
#include "control/resources/resources.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QString>

#include <cstdlib>

namespace {

QString theme_png(int size)
{
    return QStringLiteral(SOLVANE_ICON_DIR "/%1x%1/apps/" SOLVANE_APP_ID ".png").arg(size);
}

// The largest difference in any channel between two images of one size.
int largest_difference(const QImage& a, const QImage& b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q), qAlpha(p) - qAlpha(q)})
                largest = std::max(largest, std::abs(d));
        }
    return largest;
}

class ThemeIcon : public ::testing::TestWithParam<int> {};

TEST_P(ThemeIcon, HoldsTheWindowIconsPixels)
{
    const int size = GetParam();
    QImage drawn(theme_png(size));
    ASSERT_FALSE(drawn.isNull()) << theme_png(size).toStdString();
    QImage window_icon = program_icon().pixmap(size, size).toImage();
    ASSERT_EQ(window_icon.size(), QSize(size, size));
    drawn = drawn.convertToFormat(QImage::Format_ARGB32);
    window_icon = window_icon.convertToFormat(QImage::Format_ARGB32);
    // PNG stores unpremultiplied colour: faint edge pixels may round by a level.
    EXPECT_LE(largest_difference(drawn, window_icon), 1);
}

INSTANTIATE_TEST_SUITE_P(AtTheWindowIconsSizes, ThemeIcon, ::testing::Values(16, 32, 48, 64),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "px";
                         });

}  // namespace
