#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace brimo::ui {

// Turns SIGTERM, SIGINT and SIGHUP into an orderly quit of the Qt event loop, so the
// application leaves the system output as it found it however it is stopped. The handler only
// writes a byte to a socket; the quit happens on the main thread.
class QuitSignals final : public QObject {
    Q_OBJECT

  public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;
    QuitSignals(QuitSignals&&) = delete;
    QuitSignals& operator=(QuitSignals&&) = delete;

  Q_SIGNALS:
    void quitRequested(int signalNumber);

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace brimo::ui
