#include "share/discovery/avahipublisher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Avahi");
// Every interface and both IP versions, as avahi-daemon takes "unspecified".
constexpr int kUnspecified = -1;
// Avahi's calls answer at once; one that does not must not hold up the serving.
constexpr int kCallTimeoutMs = 2000;
} // namespace

AvahiPublisher::AvahiPublisher(const QString &name, QObject *parent) : QObject(parent), m_name(name)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()
            || !bus.interface()->isServiceRegistered(kService).value()) {
        m_report = QStringLiteral("No avahi-daemon runs here: nothing is announced by mDNS.");
        return;
    }
    QDBusInterface server(
            kService, QStringLiteral("/"), QStringLiteral("org.freedesktop.Avahi.Server"), bus);
    server.setTimeout(kCallTimeoutMs);
    const QDBusReply<QDBusObjectPath> group = server.call(QStringLiteral("EntryGroupNew"));
    if (!group.isValid()) {
        m_report = QStringLiteral("avahi-daemon did not take the announcement: %1")
                           .arg(group.error().message());
        return;
    }
    m_group = new QDBusInterface(kService, group.value().path(),
            QStringLiteral("org.freedesktop.Avahi.EntryGroup"), bus, this);
    m_group->setTimeout(kCallTimeoutMs);
}

AvahiPublisher::~AvahiPublisher()
{
    if (m_group)
        m_group->call(QStringLiteral("Free"));
}

void AvahiPublisher::publish(const QString &type, quint16 port, const QString &instance)
{
    if (!m_group)
        return;
    const QString service = instance.isEmpty() ? m_name : m_name + u' ' + instance;
    const QDBusMessage added
            = m_group->call(QStringLiteral("AddService"), kUnspecified, kUnspecified, 0U, service,
                    type, QString(), QString(), port, QVariant::fromValue(QList<QByteArray>()));
    if (added.type() == QDBusMessage::ErrorMessage) {
        m_report = QStringLiteral("avahi-daemon did not take %1: %2")
                           .arg(type, added.errorMessage());
        return;
    }
    ++m_services;
}

void AvahiPublisher::commit()
{
    if (!m_group || m_services == 0)
        return;
    const QDBusMessage committed = m_group->call(QStringLiteral("Commit"));
    m_report = committed.type() == QDBusMessage::ErrorMessage
            ? QStringLiteral("avahi-daemon did not announce the services: %1")
                      .arg(committed.errorMessage())
            : QStringLiteral("%1 services announced through avahi-daemon.").arg(m_services);
}
