#include "ui/video/VideoTextureItem.h"

#include <QQuickWindow>
#include <QRunnable>
#include <QSGTexture>
#include <QSGTextureProvider>
#include <memory>

namespace brimo::ui {

// The current picture's texture; lives on the scene graph's thread.
class VideoPictureTexture : public QSGTextureProvider {
  public:
    [[nodiscard]] QSGTexture* texture() const override { return texture_.get(); }

    void replace(QSGTexture* texture) {
        // The previous frame's draw is over: the old texture is used by nothing any more.
        texture_.reset(texture);
        Q_EMIT textureChanged();
    }

  private:
    std::unique_ptr<QSGTexture> texture_;
};

namespace {

// Deletes the texture on the scene graph's thread, where it was made.
void scheduleDeletion(QQuickWindow* window, VideoPictureTexture* texture) {
    if (window == nullptr) {
        delete texture;
        return;
    }
    window->scheduleRenderJob(QRunnable::create([texture] { delete texture; }),
                              QQuickWindow::NoStage);
}

}  // namespace

VideoTextureItem::VideoTextureItem(QQuickItem* parent) : QQuickItem(parent) {
    // Without contents the scene graph would never ask for the next picture's texture.
    setFlag(ItemHasContents);
    connect(&sink_, &QVideoSink::videoFrameChanged, this, &VideoTextureItem::receive);
}

VideoTextureItem::~VideoTextureItem() {
    if (texture_ != nullptr) {
        scheduleDeletion(window(), texture_);
    }
}

void VideoTextureItem::receive(const QVideoFrame& frame) {
    if (!frame.isValid()) {
        return;
    }
    pending_ = frame;
    if (const QSize size = frame.size(); size != frameSize_) {
        frameSize_ = size;
        Q_EMIT frameSizeChanged();
    }
    if (!hasFrame_) {
        hasFrame_ = true;
        Q_EMIT hasFrameChanged();
    }
    update();
    Q_EMIT pictureShown();
}

VideoPictureTexture* VideoTextureItem::ensureTexture() const {
    if (texture_ == nullptr) {
        texture_ = new VideoPictureTexture;
    }
    return texture_;
}

QSGTextureProvider* VideoTextureItem::textureProvider() const {
    return ensureTexture();
}

QSGNode* VideoTextureItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* /*data*/) {
    if (pending_.isValid()) {
        QVideoFrame frame;
        std::swap(frame, pending_);
        const QImage image = converter_.toImage(frame);
        if (!image.isNull() && window() != nullptr) {
            auto* texture = window()->createTextureFromImage(image);
            texture->setFiltering(QSGTexture::Linear);
            ensureTexture()->replace(texture);
        }
    }
    // Nothing is drawn here; the effects that sample the texture draw it.
    delete oldNode;
    return nullptr;
}

void VideoTextureItem::releaseResources() {
    if (texture_ != nullptr) {
        scheduleDeletion(window(), texture_);
        texture_ = nullptr;
    }
}

void VideoTextureItem::invalidateSceneGraph() {
    delete texture_;
    texture_ = nullptr;
}

}  // namespace brimo::ui
