#include "line/transport/networkmessages.h"

#include "line/linemessages.h"

QString RawSocketBaudNotice(int comPort, const QString &binding, int baudRate)
{
    // Short: the error box shows two lines.
    return QStringLiteral("%1 is raw TCP: %2 baud cannot reach the instrument; the server's own "
                          "settings apply.")
            .arg(PortLabel(comPort, binding))
            .arg(baudRate);
}

QString SettingsUnconfirmedNotice(int comPort, const QString &binding, const QString &settings)
{
    return QStringLiteral("%1 is open, but the server did not confirm the line settings %2: the "
                          "instrument may run at others.")
            .arg(PortLabel(comPort, binding), settings);
}

QString SettingsDifferNotice(
        int comPort, const QString &binding, const QString &asked, const QString &serverSet)
{
    return QStringLiteral("%1 is open, but the server set the line to %2 instead of %3.")
            .arg(PortLabel(comPort, binding), serverSet, asked);
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
