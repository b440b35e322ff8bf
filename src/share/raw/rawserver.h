#pragma once

#include "share/sharesettings.h"

#include <QObject>

class QTcpServer;
class ShareClients;
class SharedLine;

// One device's raw SCPI socket: a TCP port whose clients send it lines.
class RawServer : public QObject
{
    Q_OBJECT

public:
    RawServer(SharedLine &line, ShareClients &clients, const ServedDevice &device,
            const ShareLimits &limits, QObject *parent = nullptr);

    // False with `error` when the port cannot be had.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    const ServedDevice &device() const { return m_device; }

private:
    void accept();

    SharedLine &m_line;
    ShareClients &m_clients;
    ServedDevice m_device;
    ShareLimits m_limits;
    QTcpServer *m_server;
};
