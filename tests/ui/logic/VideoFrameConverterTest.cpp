#include <gtest/gtest.h>

#include <QColor>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ui/video/VideoFrameConverter.h"

namespace brimo::ui {
namespace {

using Format = QVideoFrameFormat;

struct YCbCr {
    int y;
    int cb;
    int cr;
};

// The standard encoding of an RGB colour in a colour space and range (what an encoder writes).
YCbCr encode(QColor rgb, Format::ColorSpace space, Format::ColorRange range) {
    double kr = 0.299;
    double kb = 0.114;
    if (space == Format::ColorSpace_BT709) {
        kr = 0.2126;
        kb = 0.0722;
    } else if (space == Format::ColorSpace_BT2020) {
        kr = 0.2627;
        kb = 0.0593;
    }
    const double r = rgb.redF();
    const double g = rgb.greenF();
    const double b = rgb.blueF();
    const double luma = kr * r + (1 - kr - kb) * g + kb * b;
    const double pb = (b - luma) / (2 * (1 - kb));
    const double pr = (r - luma) / (2 * (1 - kr));
    const bool full = range == Format::ColorRange_Full;
    const auto code = [](double v) {
        return static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0)));
    };
    return full ? YCbCr{code(255 * luma), code(128 + 255 * pb), code(128 + 255 * pr)}
                : YCbCr{code(16 + 219 * luma), code(128 + 224 * pb), code(128 + 224 * pr)};
}

void fillPlane(QVideoFrame& frame, int plane, int rows, int bytes, const auto& valueAt) {
    for (int row = 0; row < rows; ++row) {
        uchar* line = frame.bits(plane) + static_cast<ptrdiff_t>(row) * frame.bytesPerLine(plane);
        for (int i = 0; i < bytes; ++i) {
            line[i] = static_cast<uchar>(valueAt(i));
        }
    }
}

// A picture of one colour in the given layout.
QVideoFrame solidFrame(Format::PixelFormat layout, QSize size, QColor rgb,
                       Format::ColorSpace space = Format::ColorSpace_BT709,
                       Format::ColorRange range = Format::ColorRange_Video) {
    Format format(size, layout);
    format.setColorSpace(space);
    format.setColorRange(range);
    QVideoFrame frame(format);
    EXPECT_TRUE(frame.map(QVideoFrame::WriteOnly));
    const YCbCr c = encode(rgb, space, range);
    const int w = size.width();
    const int h = size.height();
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    const auto constant = [](int v) { return [v](int) { return v; }; };
    switch (layout) {
        case Format::Format_YUV420P:
        case Format::Format_YV12: {
            const bool swapped = layout == Format::Format_YV12;
            fillPlane(frame, 0, h, w, constant(c.y));
            fillPlane(frame, 1, ch, cw, constant(swapped ? c.cr : c.cb));
            fillPlane(frame, 2, ch, cw, constant(swapped ? c.cb : c.cr));
            break;
        }
        case Format::Format_NV12:
        case Format::Format_NV21: {
            const bool swapped = layout == Format::Format_NV21;
            const int first = swapped ? c.cr : c.cb;
            const int second = swapped ? c.cb : c.cr;
            fillPlane(frame, 0, h, w, constant(c.y));
            fillPlane(frame, 1, ch, 2 * cw, [&](int i) { return i % 2 == 0 ? first : second; });
            break;
        }
        case Format::Format_UYVY:
            fillPlane(frame, 0, h, 2 * w,
                      [&](int i) { return i % 2 == 1 ? c.y : (i % 4 == 0 ? c.cb : c.cr); });
            break;
        case Format::Format_BGRA8888:
            fillPlane(frame, 0, h, 4 * w, [&](int i) {
                const int channel[] = {rgb.blue(), rgb.green(), rgb.red(), 255};
                return channel[i % 4];
            });
            break;
        default:
            ADD_FAILURE() << "no test layout for format " << layout;
    }
    frame.unmap();
    return frame;
}

void expectEveryPixel(const QImage& image, QSize size, QColor expected, int tolerance = 4) {
    ASSERT_FALSE(image.isNull());
    ASSERT_EQ(image.size(), size);
    EXPECT_EQ(image.format(), QImage::Format_RGBX8888);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const QColor got = image.pixelColor(x, y);
            ASSERT_NEAR(got.red(), expected.red(), tolerance) << x << "," << y;
            ASSERT_NEAR(got.green(), expected.green(), tolerance) << x << "," << y;
            ASSERT_NEAR(got.blue(), expected.blue(), tolerance) << x << "," << y;
        }
    }
}

// A golden eye's colour, where the standards' matrices disagree by more than 10 levels of green.
const QColor kGold(200, 140, 40);

TEST(VideoFrameConverterTest, DecodesEachColourSpaceAndRangeWithItsOwnMatrix) {
    VideoFrameConverter converter;
    for (const auto space :
         {Format::ColorSpace_BT601, Format::ColorSpace_BT709, Format::ColorSpace_BT2020}) {
        for (const auto range : {Format::ColorRange_Video, Format::ColorRange_Full}) {
            SCOPED_TRACE(testing::Message() << "colour space " << space << ", range " << range);
            const QSize size(16, 8);
            expectEveryPixel(
                converter.toImage(solidFrame(Format::Format_YUV420P, size, kGold, space, range)),
                size, kGold);
        }
    }
}

TEST(VideoFrameConverterTest, UndeclaredColourSpaceIsTakenAsStandardDefinition) {
    VideoFrameConverter converter;
    // Encoded as BT.601, declared as nothing.
    QVideoFrame frame = solidFrame(Format::Format_YUV420P, {8, 8}, kGold, Format::ColorSpace_BT601);
    Format undeclared(frame.size(), Format::Format_YUV420P);
    QVideoFrame copy(undeclared);
    ASSERT_TRUE(frame.map(QVideoFrame::ReadOnly));
    ASSERT_TRUE(copy.map(QVideoFrame::WriteOnly));
    for (int plane = 0; plane < frame.planeCount(); ++plane) {
        ASSERT_EQ(copy.bytesPerLine(plane), frame.bytesPerLine(plane));
        const int rows = plane == 0 ? frame.height() : (frame.height() + 1) / 2;
        std::memcpy(copy.bits(plane), frame.bits(plane),
                    static_cast<size_t>(rows) * static_cast<size_t>(frame.bytesPerLine(plane)));
    }
    frame.unmap();
    copy.unmap();
    expectEveryPixel(converter.toImage(copy), {8, 8}, kGold);
}

TEST(VideoFrameConverterTest, EveryLayoutGivesTheSamePictureAtOddSizesToo) {
    VideoFrameConverter converter;
    const QColor teal(30, 160, 170);
    struct Case {
        Format::PixelFormat layout = Format::Format_Invalid;
        QSize size;
        QSize converted;
    };
    // Sizes change from call to call, so the kept scaler is set up again each time. Odd columns
    // and rows of subsampled chroma are left out.
    for (const Case& c :
         {Case{Format::Format_YUV420P, {6, 4}, {6, 4}},
          Case{Format::Format_YUV420P, {7, 5}, {6, 4}},
          Case{Format::Format_YUV420P, {384, 384}, {384, 384}},
          Case{Format::Format_YV12, {10, 6}, {10, 6}}, Case{Format::Format_NV12, {7, 5}, {6, 4}},
          Case{Format::Format_NV21, {12, 8}, {12, 8}}, Case{Format::Format_UYVY, {7, 5}, {6, 5}},
          Case{Format::Format_BGRA8888, {7, 5}, {7, 5}}}) {
        SCOPED_TRACE(testing::Message()
                     << "layout " << c.layout << ", " << c.size.width() << "x" << c.size.height());
        expectEveryPixel(converter.toImage(solidFrame(c.layout, c.size, teal)), c.converted, teal);
    }
    // A subsampled picture one pixel wide has nothing whole to show.
    EXPECT_TRUE(converter.toImage(solidFrame(Format::Format_NV12, {1, 4}, teal)).isNull());
}

TEST(VideoFrameConverterTest, InvalidPictureGivesANullImage) {
    VideoFrameConverter converter;
    EXPECT_TRUE(converter.toImage(QVideoFrame()).isNull());
}

}  // namespace
}  // namespace brimo::ui
