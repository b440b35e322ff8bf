#pragma once

#include <QString>

// What the operator reads about a network port that did open but cannot promise everything.
// Why one did not open is a LineFailure (linemessages.h), as for any other port.

// A raw TCP connection carries bytes only: the baud chosen for the port stays on this side.
QString RawSocketBaudNotice(int comPort, const QString &binding, int baudRate);
// An RFC 2217 server that did not answer for the line settings.
QString SettingsUnconfirmedNotice(int comPort, const QString &binding, const QString &settings);
// An RFC 2217 server that set other line settings than asked for.
QString SettingsDifferNotice(
        int comPort, const QString &binding, const QString &asked, const QString &serverSet);
