#include "line/record/linerecorder.h"

#include "line/linemessages.h"
#include "protocol/replynumber.h"

#include <cstring>

LineRecorder::LineRecorder(QObject *parent)
    : QObject(parent), m_startedAt(QDateTime::currentDateTime())
{
    m_clock.start();
}

void LineRecorder::tell(
        int comPort, WireEntry::Kind kind, const char *what, const QByteArray &bytes)
{
    // The word is a literal: referring to it spares an allocation for every chunk of a stream.
    WireEntry entry{elapsedMs(), comPort, kind,
            QByteArray::fromRawData(what, qsizetype(std::strlen(what))), bytes};
    if (m_deferred && m_waiting.size() < DeferredLimit) {
        m_waiting.append(std::move(entry));
        return;
    }
    flush();
    emit recorded(entry);
}

void LineRecorder::setDeferred(bool deferred)
{
    m_deferred = deferred;
    if (!deferred)
        flush();
}

void LineRecorder::flush()
{
    // Taken out first: a follower that records in turn adds after these, not among them.
    QList<WireEntry> waiting;
    waiting.swap(m_waiting);
    for (const WireEntry &entry : waiting)
        emit recorded(entry);
    waiting.clear();
    if (m_waiting.isEmpty())
        m_waiting.swap(waiting); // keeps the block for the next exchange
}

void LineRecorder::sent(int comPort, const QByteArray &bytes)
{
    tell(comPort, WireEntry::Kind::Sent, "sent", bytes);
}

void LineRecorder::received(int comPort, const QByteArray &bytes)
{
    tell(comPort, WireEntry::Kind::Received, "recv", bytes);
}

void LineRecorder::note(int comPort, const char *what, const QString &text)
{
    tell(comPort, WireEntry::Kind::Note, what, EscapeControlCharacters(text).toUtf8());
}

void LineRecorder::replyRead(int comPort, const QString &command, const QByteArray &reply,
        const QByteArray &shown, const QString &client)
{
    flush(); // what the line did comes before the reply it made
    emit replyRecorded({QDateTime::currentMSecsSinceEpoch(), elapsedMs(), comPort, command, reply,
            shown, ReplyNumber(reply), client});
}
