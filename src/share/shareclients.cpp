#include "share/shareclients.h"

#include "line/linemessages.h"

ShareClients::ShareClients(const ShareSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{ }

bool ShareClients::admit(const QHostAddress &peer, const QString &protocol)
{
    bool allowed = peer.isLoopback();
    for (const auto &network : std::as_const(m_settings.allowed))
        allowed = allowed || peer.isInSubnet(network.first, network.second);
    if (!allowed) {
        refuse(QStringLiteral("network"), peer.toString(),
                QStringLiteral("Refused %1 client %2: its network is not allowed (--allow).")
                        .arg(protocol, peer.toString()));
        return false;
    }
    if (m_connections >= m_settings.limits.maxClients) {
        refuse(QStringLiteral("full"), peer.toString(),
                QStringLiteral("Refused %1 client %2: %3 clients are served already.")
                        .arg(protocol, peer.toString())
                        .arg(m_settings.limits.maxClients));
        return false;
    }
    ++m_connections;
    return true;
}

void ShareClients::connectionClosed()
{
    m_connections = qMax(0, m_connections - 1);
}

void ShareClients::clear()
{
    m_connections = 0;
    m_clients.clear();
    emit changed();
}

LineAsker ShareClients::add(const QString &address, const QString &protocol, const QString &device)
{
    ShareClient client;
    client.asker = {m_nextId++, address, protocol, device};
    m_clients.append(client);
    emit changed();
    return client.asker;
}

void ShareClients::remove(quint64 id)
{
    if (m_clients.removeIf([id](const ShareClient &client) { return client.asker.id == id; }) > 0)
        emit changed();
}

void ShareClients::setLocked(quint64 id, bool locked)
{
    for (ShareClient &client : m_clients)
        if (client.asker.id == id)
            client.locked = locked;
    emit changed();
}

void ShareClients::counted(quint64 id, const QByteArray &message)
{
    for (ShareClient &client : m_clients) {
        if (client.asker.id != id)
            continue;
        ++client.queries;
        client.lastCommand = message.left(200);
    }
    emit changed();
}

void ShareClients::refuse(const QString &kind, const QString &who, const QString &message)
{
    const QString key = kind + u' ' + who;
    // Bounded: past this many different refusals, no more are told.
    if (m_told.contains(key) || m_told.size() >= 1000)
        return;
    m_told.insert(key);
    emit notice(EscapeControlCharacters(message));
}
