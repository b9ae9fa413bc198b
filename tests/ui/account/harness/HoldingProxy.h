#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <vector>

namespace brimo::testing {

// A loopback TCP relay in front of the web service that can hold what clients send: while
// held, requests wait in the relay as if the service were slow, until released. It runs on the
// test's own event loop, so a test decides exactly when an answer may come.
class HoldingProxy : public QObject {
    Q_OBJECT

  public:
    explicit HoldingProxy(QObject* parent = nullptr);

    // Listens on a free loopback port and relays to `targetPort`; false if it cannot listen.
    bool listen(quint16 targetPort);
    void setTargetPort(quint16 targetPort) { targetPort_ = targetPort; }
    [[nodiscard]] quint16 port() const { return server_.serverPort(); }
    [[nodiscard]] bool isListening() const { return server_.isListening(); }
    // Stops accepting: new connections are refused.
    void close() { server_.close(); }

    void hold() { holding_ = true; }
    void release();
    // Connections whose request bytes are being held.
    [[nodiscard]] int heldCount() const;

  private:
    struct Link {
        QTcpSocket* client = nullptr;
        QTcpSocket* upstream = nullptr;
        QByteArray pending;
    };

    void accept();
    void relay(Link& link) const;
    void forget(QTcpSocket* client);
    std::vector<Link>::iterator linkOf(const QTcpSocket* client);

    QTcpServer server_;
    quint16 targetPort_ = 0;
    bool holding_ = false;
    std::vector<Link> links_;
};

}  // namespace brimo::testing
