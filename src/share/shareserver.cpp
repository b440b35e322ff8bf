#include "share/shareserver.h"

#include "share/discovery/avahipublisher.h"
#include "share/discovery/portmapregistration.h"
#include "share/raw/rawserver.h"
#include "share/shareclients.h"
#include "share/vxi11/vxi11server.h"

ShareServer::ShareServer(SharedLine &line, const QList<ServedDevice> &devices,
        const ShareSettings &settings, QObject *parent)
    : QObject(parent),
      m_line(line),
      m_devices(devices),
      m_settings(settings),
      m_clients(new ShareClients(settings, this))
{
    connect(m_clients, &ShareClients::notice, this, &ShareServer::notice);
}

ShareServer::~ShareServer()
{
    // Whoever follows the list may be going away too (a window's children go together).
    m_clients->blockSignals(true);
    stop();
}

bool ShareServer::start(QString *error)
{
    stop();
    if (m_settings.vxi11) {
        m_vxi11 = new Vxi11Server(m_line, *m_clients, m_devices, m_settings.limits, this);
        if (!m_vxi11->listen(m_settings.listen, m_settings.corePort, m_settings.abortPort, error)) {
            stop();
            return false;
        }
    }
    if (m_settings.rawSockets) {
        quint16 next = m_settings.firstRawPort;
        for (const ServedDevice &device : std::as_const(m_devices)) {
            auto *raw = new RawServer(m_line, *m_clients, device, m_settings.limits, this);
            m_raw.append(raw);
            const quint16 port = device.rawPort != 0 ? device.rawPort : next;
            if (!raw->listen(m_settings.listen, port, error)) {
                stop();
                return false;
            }
            if (device.rawPort == 0 && next != 0)
                ++next;
        }
    }
    if (m_vxi11) {
        m_portmap = std::make_unique<PortmapRegistration>(m_vxi11->corePort());
        // Announced on the network only where the network can reach it.
        if (!m_settings.listen.isLoopback())
            m_avahi = new AvahiPublisher(
                    QStringLiteral("Quillon %1").arg(m_settings.listen.toString()), this);
        if (m_avahi) {
            m_avahi->publish(QStringLiteral("_vxi-11._tcp"), m_vxi11->corePort());
            for (const RawServer *raw : std::as_const(m_raw))
                m_avahi->publish(QStringLiteral("_scpi-raw._tcp"), raw->port(), raw->device().name);
            m_avahi->commit();
        }
    }
    m_serving = true;
    return true;
}

void ShareServer::stop()
{
    m_serving = false;
    delete m_avahi;
    m_avahi = nullptr;
    m_portmap.reset();
    qDeleteAll(m_raw);
    m_raw.clear();
    delete m_vxi11;
    m_vxi11 = nullptr;
    // Their connections went with the servers, without a word each.
    m_clients->clear();
}

QStringList ShareServer::resourceStrings() const
{
    const QString host = m_settings.listen.toString();
    QStringList strings;
    for (qsizetype i = 0; i < m_devices.size(); ++i) {
        if (m_vxi11)
            strings << QStringLiteral("TCPIP::%1::%2::INSTR").arg(host, m_devices.at(i).name);
        if (i < m_raw.size())
            strings << QStringLiteral("TCPIP::%1::%2::SOCKET").arg(host).arg(m_raw.at(i)->port());
    }
    return strings;
}

QStringList ShareServer::discoveryReport() const
{
    QStringList report;
    if (m_portmap)
        report << m_portmap->report();
    if (m_avahi)
        report << m_avahi->report();
    return report;
}

quint16 ShareServer::corePort() const
{
    return m_vxi11 ? m_vxi11->corePort() : 0;
}
