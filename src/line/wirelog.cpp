#include "wirelog.h"

#include "protocol/checkscript.h"

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
    // The form a check script quotes a reply in, so a transcript line can be pasted into one.
    return EscapedBytes(bytes);
}

QByteArray WireLog::line(double ms, int comPort, const char *what, const QByteArray &rest)
{
    return QByteArray::number(ms, 'f', 3).rightJustified(12) + " COM" + QByteArray::number(comPort)
            + ' ' + what + ' ' + rest;
}

void WireLog::sent(int comPort, const QByteArray &bytes)
{
    write(comPort, "sent",
            QByteArray::number(bytes.size()) + " bytes: " + hex(bytes) + "  " + escaped(bytes));
}

void WireLog::received(int comPort, const QByteArray &bytes)
{
    write(comPort, "recv",
            QByteArray::number(bytes.size()) + " bytes: " + hex(bytes) + "  " + escaped(bytes));
}

void WireLog::note(int comPort, const char *what, const QString &text)
{
    write(comPort, what, text.toUtf8());
}

void WireLog::write(int comPort, const char *what, const QByteArray &rest)
{
    if (!m_file.isOpen())
        return;
    const double ms = double(m_clock.nsecsElapsed()) / 1e6;
    m_file.write(line(ms, comPort, what, rest) + '\n');
}
