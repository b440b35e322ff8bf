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
// An RFC 2217 server that answered a line setting with a value the protocol does not have
// (`what`: "baud rate", "data size", "parity" or "stop size").
QString BadServerValueNotice(int comPort, const QString &binding, const QString &settings,
        const char *what, quint32 value);
// An RFC 2217 server whose Telnet commands broke their own framing.
QString MalformedTelnetNotice(int comPort, const QString &binding);
