#pragma once

#include "share/sharedline.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <optional>

// One instrument as the network sees it: "inst0" is the interface itself, in the plain
// framing; "gpib0,N" the instrument at bus address N, addressed or as packets.
struct ServedDevice
{
    QString name;
    ServedFraming framing;
    quint16 rawPort = 0; // its raw SCPI socket; 0: any free port
    // "inst0" for the plain framing, "gpib0,N" for the others.
    static QString nameFor(const Framing &framing);
    // A device as --device names it: plain, addr:N or packet:N (N 0 to 15). Empty, with `error`
    // set, when the text is none of these.
    static std::optional<ServedDevice> parse(const QString &text, QString *error);
};

// What bounds a client, whatever it sends or leaves unread.
struct ShareLimits
{
    int maxClients = 32; // connections at once, both protocols together
    int maxLinksPerClient = 8; // VXI-11 links on one connection
    qsizetype maxMessageBytes = qsizetype(1) << 20; // one message, one reply kept for a client
    qsizetype maxUnsentBytes = qsizetype(4) << 20; // replies a client leaves unread on its socket
    std::chrono::seconds idle{600}; // a connection that asks nothing for this long is closed
    std::chrono::seconds firstCall{10}; // ... and one that has not asked anything yet
    std::chrono::milliseconds maxIoTimeout{120000}; // the longest a client's timeout counts
};

struct ShareSettings
{
    QHostAddress listen = QHostAddress(QHostAddress::LocalHost);
    // Networks whose clients are served besides this machine's own: address and prefix length.
    QList<QPair<QHostAddress, int>> allowed;
    quint16 corePort = 0; // VXI-11 core channel; 0: any free port, registered with the portmapper
    quint16 abortPort = 0;
    quint16 firstRawPort = 5025; // each device's raw socket, in order, unless it names its own
    bool rawSockets = true;
    bool vxi11 = true;
    ShareLimits limits;

    // "192.168.1.0/24" or a single address: the network, or nothing with `error` set.
    static std::optional<QPair<QHostAddress, int>> parseNetwork(
            const QString &text, QString *error);
};
