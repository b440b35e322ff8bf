#include "networkmessages.h"

#include "linemessages.h"

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
