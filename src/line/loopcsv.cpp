#include "loopcsv.h"

#include <QLocale>

bool LoopCsv::open(const QString &path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    const QByteArray first = header();
    return m_file.write(first) == first.size();
}

bool LoopCsv::append(const LoopReading &reading)
{
    if (!m_file.isOpen())
        return false;
    const QByteArray line = row(reading);
    return m_file.write(line) == line.size();
}

QByteArray LoopCsv::header()
{
    return "time,ms,port,command,reply,value\r\n";
}

QByteArray LoopCsv::quoted(const QByteArray &field)
{
    QByteArray out = field;
    out.replace('"', "\"\"");
    return '"' + out + '"';
}

QByteArray LoopCsv::row(const LoopReading &reading)
{
    QByteArray line = reading.at.toString(Qt::ISODateWithMs).toUtf8();
    line += ',' + QByteArray::number(reading.ms, 'f', 3);
    line += ",COM" + QByteArray::number(reading.comPort);
    line += ',' + quoted(reading.command.toUtf8());
    line += ',' + quoted(QString::fromLatin1(reading.reply).toUtf8());
    line += ',';
    // The shortest text that reads back as the same double: no digits made up, none lost.
    if (reading.value)
        line += QByteArray::number(*reading.value, 'g', QLocale::FloatingPointShortest);
    return line + "\r\n";
}
