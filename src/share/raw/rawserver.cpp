#include "share/raw/rawserver.h"

#include "share/raw/rawconnection.h"
#include "share/shareclients.h"

#include <QTcpServer>
#include <QTcpSocket>

RawServer::RawServer(SharedLine &line, ShareClients &clients, const ServedDevice &device,
        const ShareLimits &limits, QObject *parent)
    : QObject(parent),
      m_line(line),
      m_clients(clients),
      m_device(device),
      m_limits(limits),
      m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &RawServer::accept);
}

bool RawServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (m_server->listen(address, port))
        return true;
    if (error)
        *error = QStringLiteral("The raw socket of %1 cannot listen on %2 port %3: %4")
                         .arg(m_device.name, address.toString())
                         .arg(port)
                         .arg(m_server->errorString());
    return false;
}

quint16 RawServer::port() const
{
    return m_server->serverPort();
}

void RawServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (!m_clients.admit(socket->peerAddress(), QStringLiteral("SOCKET"))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new RawConnection(socket, m_line, m_clients, m_device, m_limits, this);
        connect(connection, &RawConnection::closed, this, [this, connection] {
            m_clients.connectionClosed();
            connection->deleteLater();
        });
    }
}
