#pragma once

#include "share/sharedline.h"
#include "share/sharesettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <chrono>

class QTcpSocket;
class QTimer;
class ShareClients;

// One client of a raw SCPI socket: each line it sends is one message to the device, and a
// reply goes back as one line, as a LAN instrument's port 5025 answers. Lines are taken one at
// a time, the next once the last is answered. A line longer than a message may be, a client
// that leaves its replies unread, or one that sends nothing for too long is disconnected: the
// only refusal a raw socket knows.
class RawConnection : public QObject
{
    Q_OBJECT

public:
    RawConnection(QTcpSocket *socket, SharedLine &line, ShareClients &clients,
            const ServedDevice &device, const ShareLimits &limits, QObject *parent = nullptr);
    ~RawConnection() override;

signals:
    void closed();

private:
    void readLines();
    void answer(const QByteArray &message, const LineAnswer &answer);
    void close(const QString &why = {});

    QPointer<QTcpSocket> m_socket;
    SharedLine &m_line;
    ShareClients &m_clients;
    ServedDevice m_device;
    ShareLimits m_limits;
    LineAsker m_asker;
    QByteArray m_partial; // a line whose end has not come
    // Looked at when it fires, not restarted at every line: a timer's start costs a wake-up.
    QTimer *m_idle;
    std::chrono::steady_clock::time_point m_lastActivity;
    bool m_asking = false; // a message is on its way through the line
    bool m_closed = false;
};
