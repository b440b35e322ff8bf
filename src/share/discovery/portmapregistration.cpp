#include "share/discovery/portmapregistration.h"

#include "share/vxi11/vxi11protocol.h"

#include <QTcpSocket>

#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

// Where rpcbind takes local registrations; libtirpc asks there first.
bool localSocketAnswers(const char *path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const bool answered
            = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return answered;
}

// A port registered by a server that has gone (a run that was killed) answers nothing.
bool somethingListensOn(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(200);
}

} // namespace

bool PortmapRegistration::portmapperRuns()
{
    if (localSocketAnswers("/run/rpcbind.sock") || localSocketAnswers("/var/run/rpcbind.sock"))
        return true;
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, PMAPPORT);
    return probe.waitForConnected(200);
}

PortmapRegistration::PortmapRegistration(quint16 corePort) : m_port(corePort)
{
    const QString reachable
            = QStringLiteral("VXI-11 clients find a server through a portmapper on port 111; "
                             "install and start rpcbind (Debian package rpcbind) to let them, "
                             "or reach the devices through their raw sockets. A client that "
                             "takes a port directly finds the VXI-11 core channel on port %1.")
                      .arg(corePort);
    if (!portmapperRuns()) {
        m_report = QStringLiteral("No portmapper runs here. ") + reachable;
        return;
    }
    m_registered = pmap_set(Vxi11::CoreProgram, Vxi11::ProgramVersion, IPPROTO_TCP, corePort);
    if (!m_registered) {
        sockaddr_in here{};
        here.sin_family = AF_INET;
        here.sin_port = htons(PMAPPORT);
        here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const u_short held
                = pmap_getport(&here, Vxi11::CoreProgram, Vxi11::ProgramVersion, IPPROTO_TCP);
        // Left behind by a server that is gone: taken over.
        if (held != 0 && !somethingListensOn(held)) {
            pmap_unset(Vxi11::CoreProgram, Vxi11::ProgramVersion);
            m_registered
                    = pmap_set(Vxi11::CoreProgram, Vxi11::ProgramVersion, IPPROTO_TCP, corePort);
        }
        if (!m_registered) {
            m_report = held != 0
                    ? QStringLiteral("The portmapper has another VXI-11 server on port %1; "
                                     "this one is not registered. ")
                                    .arg(held)
                            + reachable
                    : QStringLiteral("The portmapper refused the registration. ") + reachable;
            return;
        }
    }
    m_report = QStringLiteral("The VXI-11 core channel (port %1) is registered with the "
                              "portmapper.")
                       .arg(corePort);
}

PortmapRegistration::~PortmapRegistration()
{
    if (m_registered)
        pmap_unset(Vxi11::CoreProgram, Vxi11::ProgramVersion);
}
