#pragma once

#include <QString>

// The VXI-11 core channel registered with this machine's portmapper (rpcbind), which is where
// VXI-11 clients ask for its port: pyvisa-py and liblxi both do, and `lxi discover` broadcasts
// the question. Registered for the life of this object, when a portmapper runs; when none does,
// says how a client can still reach the devices.
class PortmapRegistration
{
public:
    explicit PortmapRegistration(quint16 corePort);
    ~PortmapRegistration();
    PortmapRegistration(const PortmapRegistration &) = delete;
    PortmapRegistration &operator=(const PortmapRegistration &) = delete;

    bool registered() const { return m_registered; }
    // What happened, in the operator's words.
    QString report() const { return m_report; }

    // Whether a portmapper answers on this machine; looked at without waiting on it.
    static bool portmapperRuns();

private:
    quint16 m_port;
    bool m_registered = false;
    QString m_report;
};
