#pragma once

#include <QtQml/qqmlregistration.h>

#include <QQuickItem>
#include <QSize>
#include <QVideoFrame>
#include <QVideoSink>

#include "ui/video/VideoFrameConverter.h"

namespace brimo::ui {

class VideoPictureTexture;

// A video's newest picture as a texture for shader effects (a texture provider, like an Image),
// drawing nothing of its own: an effect that samples it shows the picture in the same pass as
// the rest of the window, where an offscreen grab of a video output would draw it twice and ask
// for a second redraw after every picture. Pictures come in through `videoSink` (a media
// player's output, or a ClockedVideoSink's); each one is converted to RGB when the scene is
// next synchronised.
class VideoTextureItem : public QQuickItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(VideoTexture)

    Q_PROPERTY(QVideoSink* videoSink READ videoSink CONSTANT)
    // True from the first picture on.
    Q_PROPERTY(bool hasFrame READ hasFrame NOTIFY hasFrameChanged)
    // The newest picture's size in pixels.
    Q_PROPERTY(QSize frameSize READ frameSize NOTIFY frameSizeChanged)

  public:
    explicit VideoTextureItem(QQuickItem* parent = nullptr);
    ~VideoTextureItem() override;
    VideoTextureItem(const VideoTextureItem&) = delete;
    VideoTextureItem& operator=(const VideoTextureItem&) = delete;
    VideoTextureItem(VideoTextureItem&&) = delete;
    VideoTextureItem& operator=(VideoTextureItem&&) = delete;

    [[nodiscard]] QVideoSink* videoSink() { return &sink_; }
    [[nodiscard]] bool hasFrame() const { return hasFrame_; }
    [[nodiscard]] QSize frameSize() const { return frameSize_; }

    [[nodiscard]] bool isTextureProvider() const override { return true; }
    [[nodiscard]] QSGTextureProvider* textureProvider() const override;

  Q_SIGNALS:
    void hasFrameChanged();
    void frameSizeChanged();
    // Each picture, as it arrives.
    void pictureShown();

  protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void releaseResources() override;

  private Q_SLOTS:
    // Called by the scene graph on its own thread when it lets go of its resources.
    void invalidateSceneGraph();

  private:
    void receive(const QVideoFrame& frame);
    VideoPictureTexture* ensureTexture() const;

    QVideoSink sink_;
    bool hasFrame_ = false;
    QSize frameSize_;
    // Main thread → scene graph thread, handed over while the main thread waits for the sync.
    QVideoFrame pending_;
    // Scene graph thread only.
    VideoFrameConverter converter_;
    mutable VideoPictureTexture* texture_ = nullptr;
};

}  // namespace brimo::ui
