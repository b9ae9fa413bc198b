#pragma once

#include <QImage>
#include <QVideoFrame>

struct SwsContext;

namespace brimo::ui {

// A decoded video picture as an opaque RGB image (RGBX8888) of the same size (less an odd last
// column or row of subsampled chroma), in the colours its format declares (BT.601, BT.709 or
// BT.2020; video or full range). Planar and packed YUV and the 32-bit RGB layouts go through
// libswscale; any other layout through Qt's own conversion. The converter keeps its scaler
// between calls, so a stream of same-sized pictures sets it up once.
class VideoFrameConverter {
  public:
    VideoFrameConverter() = default;
    ~VideoFrameConverter();
    VideoFrameConverter(const VideoFrameConverter&) = delete;
    VideoFrameConverter& operator=(const VideoFrameConverter&) = delete;
    VideoFrameConverter(VideoFrameConverter&&) = delete;
    VideoFrameConverter& operator=(VideoFrameConverter&&) = delete;

    // A null image for an invalid or unreadable picture.
    [[nodiscard]] QImage toImage(const QVideoFrame& frame);

  private:
    SwsContext* scaler_ = nullptr;
};

}  // namespace brimo::ui
