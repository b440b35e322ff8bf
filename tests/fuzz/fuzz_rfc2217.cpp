// The RFC 2217 client fed through a real loopback connection: whatever the server sends, the
// client neither crashes, nor takes a value the protocol lacks (UBSan), nor holds more decoded
// data than its bound.

#include "line/transport/rfc2217transport.h"
#include "line/transport/transportregistry.h"

#include <QCoreApplication>
#include <QTcpServer>

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>("fuzz_rfc2217"), nullptr};
    static QCoreApplication app(argc, argv);
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        std::abort();
    Rfc2217Transport line(
            1, ParseLineAddress(QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort())));
    bool ended = false;
    QObject::connect(&line, &LineTransport::openFinished, [&](bool opened) { ended = !opened; });
    QObject::connect(&line, &LineTransport::lost, [&] { ended = true; });
    line.startOpen(SerialSettings{});
    if (!server.waitForNewConnection(5000))
        std::abort();
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    peer->write(reinterpret_cast<const char *>(data), qint64(size));
    peer->disconnectFromHost(); // once all of it is sent
    // Once open, settings are changed on the line, answered or not by what follows.
    for (bool applied = false; !ended;) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (line.bytesAvailable() > 2 * Rfc2217Transport::InboxLimitBytes)
            std::abort();
        if (line.isOpen())
            line.readAll();
        applied = applied || line.applySettings(SerialSettings{});
    }
    return 0;
}
