#include "ui/video/VideoFrameConverter.h"

#include <QVideoFrameFormat>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <utility>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace brimo::ui {
namespace {

struct SourceLayout {
    AVPixelFormat format;
    // YV12 is YUV 4:2:0 with its chroma planes the other way round.
    bool swapsChromaPlanes = false;
    // Chroma shared by two columns (4:2:2, 4:2:0) or also by two rows (4:2:0).
    bool halvesWidth = false;
    bool halvesHeight = false;
};

std::optional<SourceLayout> layoutOf(QVideoFrameFormat::PixelFormat format) {
    using F = QVideoFrameFormat;
    switch (format) {
        case F::Format_YUV420P:
            return SourceLayout{AV_PIX_FMT_YUV420P, false, true, true};
        case F::Format_YV12:
            return SourceLayout{AV_PIX_FMT_YUV420P, true, true, true};
        case F::Format_YUV422P:
            return SourceLayout{AV_PIX_FMT_YUV422P, false, true, false};
        case F::Format_NV12:
            return SourceLayout{AV_PIX_FMT_NV12, false, true, true};
        case F::Format_NV21:
            return SourceLayout{AV_PIX_FMT_NV21, false, true, true};
        case F::Format_UYVY:
            return SourceLayout{AV_PIX_FMT_UYVY422, false, true, false};
        case F::Format_YUYV:
            return SourceLayout{AV_PIX_FMT_YUYV422, false, true, false};
        case F::Format_ARGB8888:
        case F::Format_ARGB8888_Premultiplied:
            return SourceLayout{AV_PIX_FMT_ARGB};
        case F::Format_XRGB8888:
            return SourceLayout{AV_PIX_FMT_0RGB};
        case F::Format_BGRA8888:
        case F::Format_BGRA8888_Premultiplied:
            return SourceLayout{AV_PIX_FMT_BGRA};
        case F::Format_BGRX8888:
            return SourceLayout{AV_PIX_FMT_BGR0};
        case F::Format_ABGR8888:
            return SourceLayout{AV_PIX_FMT_ABGR};
        case F::Format_XBGR8888:
            return SourceLayout{AV_PIX_FMT_0BGR};
        case F::Format_RGBA8888:
            return SourceLayout{AV_PIX_FMT_RGBA};
        case F::Format_RGBX8888:
            return SourceLayout{AV_PIX_FMT_RGB0};
        default:
            return std::nullopt;
    }
}

int coefficientsOf(QVideoFrameFormat::ColorSpace space) {
    switch (space) {
        case QVideoFrameFormat::ColorSpace_BT709:
            return SWS_CS_ITU709;
        case QVideoFrameFormat::ColorSpace_BT2020:
            return SWS_CS_BT2020;
        default:
            // Undeclared pictures are taken as standard definition, as Qt's own output does.
            return SWS_CS_ITU601;
    }
}

// Maps a frame for reading and unmaps it however the conversion ends.
class MappedFrame {
  public:
    explicit MappedFrame(QVideoFrame frame) : frame_(std::move(frame)) {
        isMapped_ = frame_.map(QVideoFrame::ReadOnly);
    }
    ~MappedFrame() {
        if (isMapped_) {
            frame_.unmap();
        }
    }
    MappedFrame(const MappedFrame&) = delete;
    MappedFrame& operator=(const MappedFrame&) = delete;
    MappedFrame(MappedFrame&&) = delete;
    MappedFrame& operator=(MappedFrame&&) = delete;

    [[nodiscard]] bool isMapped() const { return isMapped_; }
    [[nodiscard]] const QVideoFrame& frame() const { return frame_; }

  private:
    QVideoFrame frame_;
    bool isMapped_ = false;
};

}  // namespace

VideoFrameConverter::~VideoFrameConverter() {
    sws_freeContext(scaler_);
}

QImage VideoFrameConverter::toImage(const QVideoFrame& frame) {
    if (!frame.isValid() || frame.width() <= 0 || frame.height() <= 0) {
        return {};
    }
    const auto layout = layoutOf(frame.pixelFormat());
    if (!layout) {
        return frame.toImage().convertToFormat(QImage::Format_RGBX8888);
    }
    const MappedFrame mapped(frame);
    if (!mapped.isMapped()) {
        return {};
    }
    // An odd last column or row of a subsampled picture is left out: whether the frame holds
    // chroma for it differs between producers, and reading it could run past the planes.
    const int width = layout->halvesWidth ? frame.width() / 2 * 2 : frame.width();
    const int height = layout->halvesHeight ? frame.height() / 2 * 2 : frame.height();
    if (width == 0 || height == 0) {
        return {};
    }
    scaler_ = sws_getCachedContext(scaler_, width, height, layout->format, width, height,
                                   AV_PIX_FMT_RGB0, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
        return {};
    }
    const auto format = frame.surfaceFormat();
    const int isFullRange = format.colorRange() == QVideoFrameFormat::ColorRange_Full ? 1 : 0;
    constexpr int kUnity = 1 << 16;  // brightness 0, contrast and saturation 1
    sws_setColorspaceDetails(scaler_, sws_getCoefficients(coefficientsOf(format.colorSpace())),
                             isFullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, kUnity,
                             kUnity);

    const QVideoFrame& source = mapped.frame();
    std::array<const uint8_t*, 4> planes{};
    std::array<int, 4> strides{};
    const int planeCount = std::min(source.planeCount(), 4);
    for (int plane = 0; plane < planeCount; ++plane) {
        planes.at(plane) = source.bits(plane);
        strides.at(plane) = source.bytesPerLine(plane);
    }
    if (layout->swapsChromaPlanes) {
        std::swap(planes[1], planes[2]);
        std::swap(strides[1], strides[2]);
    }
    // libswscale writes whole vector blocks, up to 64 bytes beyond a row's last pixel: each row
    // gets that slack, and the last one a row more.
    const int stride = (width * 4 + 63) / 64 * 64 + 64;
    auto* pixels = static_cast<uchar*>(std::malloc(static_cast<size_t>(stride) * (height + 1)));
    if (pixels == nullptr) {
        return {};
    }
    QImage image(pixels, width, height, stride, QImage::Format_RGBX8888, std::free, pixels);
    std::array<uint8_t*, 4> target{pixels, nullptr, nullptr, nullptr};
    std::array<int, 4> targetStrides{stride, 0, 0, 0};
    const int rows = sws_scale(scaler_, planes.data(), strides.data(), 0, height, target.data(),
                               targetStrides.data());
    return rows == height ? image : QImage();
}

}  // namespace brimo::ui
