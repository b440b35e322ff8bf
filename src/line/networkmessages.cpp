#include "networkmessages.h"

#include "linetransport.h"

QString DescribeNetworkOpenFailure(int comPort, const QString &binding, NetworkOpenError error,
        const QString &host, quint16 port, const QString &detail)
{
    const QString where = QStringLiteral("Cannot open COM %1 (%2): ").arg(comPort).arg(binding);
    switch (error) {
    case NetworkOpenError::BadAddress:
        return where
                + QStringLiteral("Not a network address: write socket://HOST:PORT or "
                                 "rfc2217://HOST:PORT.");
    case NetworkOpenError::HostNotFound:
        return where
                + QStringLiteral("Host \"%1\" not found. Check the name, or use the server's "
                                 "address.")
                          .arg(host);
    case NetworkOpenError::Refused:
        return where
                + QStringLiteral("Connection refused: nothing listens on %1 port %2. Is the "
                                 "serial server running?")
                          .arg(host)
                          .arg(port);
    case NetworkOpenError::NoAnswer:
        return where
                + QStringLiteral("No answer from %1 port %2 within %3 s.")
                          .arg(host)
                          .arg(port)
                          .arg(LineTransport::OpenTimeoutMs / 1000);
    case NetworkOpenError::Unreachable:
        return where
                + QStringLiteral("%1 cannot be reached from here (%2).")
                          .arg(host, detail.isEmpty() ? QStringLiteral("no route") : detail);
    case NetworkOpenError::ClosedByServer:
        // ser2net, for one, says why ("Port already in use") just before it closes.
        if (detail.isEmpty())
            return where + QStringLiteral("The server closed the connection at once.");
        return where
                + QStringLiteral("The server closed the connection, saying \"%1\".").arg(detail);
    case NetworkOpenError::Other:
        break;
    }
    return where + (detail.isEmpty() ? QStringLiteral("Unknown error.") : detail);
}

QString RawSocketBaudNotice(int comPort, const QString &binding, int baudRate)
{
    // Short: the error box shows two lines.
    return QStringLiteral("COM %1 (%2) is raw TCP: %3 baud cannot reach the instrument; the "
                          "server's own settings apply.")
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

QString BadServerValueNotice(int comPort, const QString &binding, const QString &settings,
        const char *what, quint32 value)
{
    return QStringLiteral("COM %1 (%2) is open, but the server answered %3 %4, which RFC 2217 "
                          "does not define: the line settings %5 are not confirmed.")
            .arg(comPort)
            .arg(binding, QLatin1String(what))
            .arg(value)
            .arg(settings);
}

QString MalformedTelnetNotice(int comPort, const QString &binding)
{
    return QStringLiteral("COM %1 (%2): the server sent a broken or over-long Telnet command; it "
                          "was dropped, and nothing of it was taken for instrument data.")
            .arg(comPort)
            .arg(binding);
}
