#pragma once

#include "share/sharedline.h"
#include "share/sharesettings.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>

// A client as the Share window lists it: a VXI-11 link, or a raw socket's connection.
struct ShareClient
{
    LineAsker asker;
    bool locked = false;
    qint64 queries = 0;
    QByteArray lastCommand;
};

// Who is served: the gate every connection passes (the networks allowed, the number of
// connections), the list of clients, and what the operator is told of refusals.
class ShareClients : public QObject
{
    Q_OBJECT

public:
    ShareClients(const ShareSettings &settings, QObject *parent = nullptr);

    // Whether a new connection from `peer` is served: from this machine or an allowed network,
    // and within the number of connections. A refusal is said to the operator once per kind
    // and address; the caller tells the client.
    bool admit(const QHostAddress &peer, const QString &protocol);
    void connectionClosed();
    // Every connection has gone at once (the serving stopped).
    void clear();
    int connections() const { return m_connections; }

    // A new client on an admitted connection; returns the asker with its id.
    LineAsker add(const QString &address, const QString &protocol, const QString &device);
    void remove(quint64 id);
    void setLocked(quint64 id, bool locked);
    void counted(quint64 id, const QByteArray &message);
    QList<ShareClient> clients() const { return m_clients; }

    // Tells the operator once per `kind` and `who`.
    void refuse(const QString &kind, const QString &who, const QString &message);

signals:
    void changed();
    void notice(const QString &message);

private:
    ShareSettings m_settings;
    int m_connections = 0;
    quint64 m_nextId = 1;
    QList<ShareClient> m_clients;
    QSet<QString> m_told;
};
