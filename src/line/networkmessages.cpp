#include "networkmessages.h"

#include "linetransport.h"

QString DescribeNetworkOpenFailure(int comPort, const QString &binding, NetworkOpenError error,
        const QString &host, quint16 port, const QString &detail)
{
    const QString where = QStringLiteral("Cannot open COM %1 (%2): ").arg(comPort).arg(binding);
    switch (error) {
    case NetworkOpenError::BadAddress:
        return where
                + QStringLiteral("Not a network address. Write socket://HOST:PORT for raw TCP or "
                                 "rfc2217://HOST:PORT for a server that sets the line.");
    case NetworkOpenError::HostNotFound:
        return where
                + QStringLiteral("Host \"%1\" not found. Check the name, or use the server's IP "
                                 "address.")
                          .arg(host);
    case NetworkOpenError::Refused:
        return where
                + QStringLiteral("Connection refused: nothing accepts connections on %1 port "
                                 "%2. Is the serial server running, and is this its port?")
                          .arg(host)
                          .arg(port);
    case NetworkOpenError::NoAnswer:
        return where
                + QStringLiteral("No answer from %1 port %2 within %3 s. Check that the server "
                                 "is on and reachable from here.")
                          .arg(host)
                          .arg(port)
                          .arg(LineTransport::OpenTimeoutMs / 1000);
    case NetworkOpenError::Unreachable:
        return where
                + QStringLiteral("%1 cannot be reached from here (%2).")
                          .arg(host, detail.isEmpty() ? QStringLiteral("no route") : detail);
    case NetworkOpenError::Other:
        break;
    }
    return where + (detail.isEmpty() ? QStringLiteral("Unknown error.") : detail);
}

QString RawSocketBaudNotice(int comPort, const QString &binding, int baudRate)
{
    return QStringLiteral("COM %1 (%2) is a raw network connection: the baud rate chosen here "
                          "(%3) cannot reach the instrument; the serial server's own settings "
                          "apply. Use rfc2217:// to set them from here.")
            .arg(comPort)
            .arg(binding)
            .arg(baudRate);
}

QString SettingsUnconfirmedNotice(int comPort, const QString &binding, const QString &settings)
{
    return QStringLiteral("COM %1 (%2) is open, but the server did not confirm the line settings "
                          "%3: the instrument may run at others.")
            .arg(comPort)
            .arg(binding, settings);
}

QString SettingsDifferNotice(
        int comPort, const QString &binding, const QString &asked, const QString &serverSet)
{
    return QStringLiteral("COM %1 (%2) is open, but the server set the line to %3 instead of %4.")
            .arg(comPort)
            .arg(binding, serverSet, asked);
}
