#pragma once

#include <QObject>
#include <QString>

class QDBusInterface;

// Services announced through avahi-daemon (mDNS/DNS-SD) over the system bus, for as long as
// this object lives. Where no avahi-daemon runs, nothing is announced and report() says so.
class AvahiPublisher : public QObject
{
    Q_OBJECT

public:
    // `name`: the service names' common start, "Quillon 192.168.1.20".
    explicit AvahiPublisher(const QString &name, QObject *parent = nullptr);
    ~AvahiPublisher() override;

    // Adds a service of `type` ("_vxi-11._tcp") on `port`; `instance` tells apart several of a
    // type. Announced at commit().
    void publish(const QString &type, quint16 port, const QString &instance = {});
    void commit();
    QString report() const { return m_report; }

private:
    QString m_name;
    QDBusInterface *m_group = nullptr;
    QString m_report;
    int m_services = 0;
};
