#include "line/record/loopcsv.h"

#include "line/linemessages.h"
#include "protocol/escapedbytes.h"

#include <QLocale>

LoopCsv::LoopCsv(LineRecorder *recorder, QObject *parent) : QObject(parent)
{
    if (!recorder)
        return;
    connect(recorder, &LineRecorder::replyRecorded, this, [this](const LoopReading &reading) {
        if (m_file.isOpen())
            append(reading);
    });
    connect(this, &LoopCsv::writingFailed, recorder, &LineRecorder::writingFailed);
}

bool LoopCsv::open(const QString &path)
{
    m_failureReported = false;
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
    if (m_file.write(line) == line.size())
        return true;
    // Said once: a full disk would otherwise say it at every tick.
    if (!m_failureReported) {
        m_failureReported = true;
        emit writingFailed(
                QStringLiteral("The CSV file %1 cannot be written (%2). The run goes on.")
                        .arg(EscapeOutsideText(m_file.fileName()),
                                EscapeOutsideText(m_file.errorString())));
    }
    return false;
}

QByteArray LoopCsv::header()
{
    return "time,ms,port,command,reply,value,bytes\r\n";
}

QByteArray LoopCsv::quoted(const QByteArray &field)
{
    QByteArray out = field;
    out.replace('"', "\"\"");
    return '"' + out + '"';
}

QByteArray LoopCsv::row(const LoopReading &reading)
{
    QByteArray line
            = QDateTime::fromMSecsSinceEpoch(reading.at).toString(Qt::ISODateWithMs).toUtf8();
    line += ',' + QByteArray::number(reading.ms, 'f', 3);
    // A network client's row names it in the port's column, so every row keeps the same columns.
    const QByteArray port = "COM" + QByteArray::number(reading.comPort);
    line += ',';
    line += reading.client.isEmpty()
            ? port
            : quoted(port + ' ' + EscapeOutsideText(reading.client).toUtf8());
    line += ',' + quoted(reading.command.toUtf8());
    // A spreadsheet row is one line: the box's lines are joined, and the exact bytes follow in
    // a column of their own.
    QString shown = QString::fromLatin1(reading.shown);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    shown.replace(u'\r', QStringLiteral(" | ")).replace(u'\n', QStringLiteral(" | "));
    line += ',' + quoted(shown.toUtf8());
    line += ',';
    // The shortest text that reads back as the same double: no digits made up, none lost.
    if (reading.value)
        line += QByteArray::number(*reading.value, 'g', QLocale::FloatingPointShortest);
    const QByteArray bytes = EscapedBytes(reading.reply);
    line += ',' + quoted(bytes.mid(1, bytes.size() - 2)); // the text between the quotes
    return line + "\r\n";
}
