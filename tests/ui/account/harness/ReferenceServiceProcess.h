#pragma once

#include <QProcess>
#include <QString>

namespace brimo::testing {

// The reference web service as its own process on a free loopback port, with its SQLite file,
// maildir and settings in `folder`. Stopped by its process ID; started again it keeps its
// accounts and takes a new port.
class ReferenceServiceProcess {
  public:
    explicit ReferenceServiceProcess(QString folder);
    ~ReferenceServiceProcess();
    ReferenceServiceProcess(const ReferenceServiceProcess&) = delete;
    ReferenceServiceProcess& operator=(const ReferenceServiceProcess&) = delete;
    ReferenceServiceProcess(ReferenceServiceProcess&&) = delete;
    ReferenceServiceProcess& operator=(ReferenceServiceProcess&&) = delete;

    // Starts it and waits for its "listening on" line; false (with the reason on standard
    // error) if it does not come.
    bool start();
    // SIGTERM, then waits for the exit.
    void stop();

    [[nodiscard]] bool isRunning() const { return process_.state() == QProcess::Running; }
    [[nodiscard]] quint16 port() const { return port_; }
    // Mails delivered so far.
    [[nodiscard]] int mailCount() const;

  private:
    QString folder_;
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace brimo::testing
