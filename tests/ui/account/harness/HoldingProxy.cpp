#include "ui/account/harness/HoldingProxy.h"

#include <QHostAddress>
#include <algorithm>

namespace brimo::testing {

HoldingProxy::HoldingProxy(QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &HoldingProxy::accept);
}

bool HoldingProxy::listen(quint16 targetPort) {
    targetPort_ = targetPort;
    return server_.listen(QHostAddress::LocalHost, 0);
}

void HoldingProxy::release() {
    holding_ = false;
    for (auto& link : links_) {
        relay(link);
    }
}

int HoldingProxy::heldCount() const {
    return static_cast<int>(std::count_if(
        links_.begin(), links_.end(), [](const Link& link) { return !link.pending.isEmpty(); }));
}

void HoldingProxy::accept() {
    while (QTcpSocket* client = server_.nextPendingConnection()) {
        auto* upstream = new QTcpSocket(client);
        links_.push_back(Link{client, upstream, {}});
        connect(client, &QTcpSocket::readyRead, this, [this, client] {
            if (const auto found = linkOf(client); found != links_.end()) {
                found->pending += client->readAll();
                relay(*found);
            }
        });
        connect(upstream, &QTcpSocket::connected, this, [this, client] {
            if (const auto found = linkOf(client); found != links_.end()) {
                relay(*found);
            }
        });
        connect(upstream, &QTcpSocket::readyRead, client,
                [client, upstream] { client->write(upstream->readAll()); });
        // Either side going away ends the other, as a direct connection would.
        connect(upstream, &QTcpSocket::disconnected, client,
                [client] { client->disconnectFromHost(); });
        connect(upstream, &QTcpSocket::errorOccurred, client, [client] { client->abort(); });
        connect(client, &QTcpSocket::disconnected, this, [this, client] { forget(client); });
        upstream->connectToHost(QHostAddress::LocalHost, targetPort_);
    }
}

void HoldingProxy::relay(Link& link) const {
    if (holding_ || link.pending.isEmpty() ||
        link.upstream->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    link.upstream->write(link.pending);
    link.pending.clear();
}

std::vector<HoldingProxy::Link>::iterator HoldingProxy::linkOf(const QTcpSocket* client) {
    return std::find_if(links_.begin(), links_.end(),
                        [client](const Link& l) { return l.client == client; });
}

void HoldingProxy::forget(QTcpSocket* client) {
    if (const auto found = linkOf(client); found != links_.end()) {
        links_.erase(found);
        client->deleteLater();
    }
}

}  // namespace brimo::testing
