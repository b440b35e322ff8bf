#pragma once

#include "share/sharesettings.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>

class AvahiPublisher;
class PortmapRegistration;
class RawServer;
class ShareClients;
class SharedLine;
class Vxi11Server;

// Serving the devices behind one line to the network: the VXI-11 channels, a raw socket per
// device, the portmapper registration and the Avahi announcement, and the list of clients.
// `quillon --serve` and the Share window both run this object on the one shared line.
class ShareServer : public QObject
{
    Q_OBJECT

public:
    ShareServer(SharedLine &line, const QList<ServedDevice> &devices, const ShareSettings &settings,
            QObject *parent = nullptr);
    ~ShareServer() override;

    // Listens on every port; false with `error` (nothing is served then).
    bool start(QString *error);
    void stop();
    bool serving() const { return m_serving; }

    // Every resource string a VISA client can open, one per device and protocol, as pyvisa
    // takes them: "TCPIP::127.0.0.1::gpib0,3::INSTR", "TCPIP::127.0.0.1::5026::SOCKET".
    QStringList resourceStrings() const;
    // How clients find the VXI-11 channel, and what was announced, in the operator's words.
    QStringList discoveryReport() const;
    quint16 corePort() const;
    ShareClients &clients() const { return *m_clients; }
    QList<ServedDevice> devices() const { return m_devices; }

signals:
    // A refusal, a client disconnected for what it did: for the operator, once each.
    void notice(const QString &message);

private:
    SharedLine &m_line;
    QList<ServedDevice> m_devices;
    ShareSettings m_settings;
    ShareClients *m_clients;
    Vxi11Server *m_vxi11 = nullptr;
    QList<RawServer *> m_raw;
    std::unique_ptr<PortmapRegistration> m_portmap;
    AvahiPublisher *m_avahi = nullptr;
    bool m_serving = false;
};
