#include "wirelog.h"

#include <QDateTime>

bool WireLog::open(const QString &path)
{
    m_file.setFileName(path);
    // Unbuffered: every line is handed to the system as soon as it is written.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    m_clock.start();
    const QByteArray header = "# Quillon wire transcript, started "
            + QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8()
            + "; times in ms since then\n";
    return m_file.write(header) == header.size();
}

QByteArray WireLog::hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

QByteArray WireLog::escaped(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (code >= 0x20 && code < 0x7F) {
                out += c;
            } else {
                out += "\\x";
                out += QByteArray::number(code, 16).rightJustified(2, '0').toUpper();
            }
        }
    }
    out += '"';
    return out;
}

QByteArray WireLog::line(double ms, int comPort, const char *what, const QByteArray &rest)
{
    return QByteArray::number(ms, 'f', 3).rightJustified(12) + " COM" + QByteArray::number(comPort)
            + ' ' + what + ' ' + rest;
}

QByteArray WireLog::chunk(const QByteArray &bytes)
{
    return QByteArray::number(bytes.size()) + " bytes: " + hex(bytes) + "  " + escaped(bytes);
}

void WireLog::sent(int comPort, const QByteArray &bytes)
{
    tell(comPort, WireEntry::Kind::Sent, "sent", bytes);
    // Without a file nobody needs the hex; a long reply would pay for it on every chunk.
    if (m_file.isOpen())
        write(comPort, "sent", chunk(bytes));
}

void WireLog::received(int comPort, const QByteArray &bytes)
{
    tell(comPort, WireEntry::Kind::Received, "recv", bytes);
    if (m_file.isOpen())
        write(comPort, "recv", chunk(bytes));
}

void WireLog::note(int comPort, const char *what, const QString &text)
{
    tell(comPort, WireEntry::Kind::Note, what, text.toUtf8());
    write(comPort, what, text.toUtf8());
}

void WireLog::tell(int comPort, WireEntry::Kind kind, const char *what, const QByteArray &bytes)
{
    if (m_listeners.empty())
        return;
    const WireEntry entry{elapsedMs(), comPort, kind, what, bytes};
    for (const Listener &listener : m_listeners)
        listener(entry);
}

void WireLog::write(int comPort, const char *what, const QByteArray &rest)
{
    if (!m_file.isOpen())
        return;
    const double ms = double(m_clock.nsecsElapsed()) / 1e6;
    m_file.write(line(ms, comPort, what, rest) + '\n');
}
