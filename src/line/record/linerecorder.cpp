#include "line/record/linerecorder.h"

#include "line/linemessages.h"

LineRecorder::LineRecorder(QObject *parent)
    : QObject(parent), m_startedAt(QDateTime::currentDateTime())
{
    m_clock.start();
}

void LineRecorder::tell(int comPort, Transcript::Word word, const QByteArray &bytes)
{
    WireEntry entry{elapsedMs(), comPort, word, bytes};
    if (m_hold && m_hold->phase() == LineHold::Phase::Quiet && m_batch.size() < BatchLimit) {
        m_batch.append(std::move(entry));
        return;
    }
    tellBatch();
    emit recorded(entry);
}

void LineRecorder::setHold(const LineHold *hold)
{
    tellBatch();
    if (m_hold)
        m_hold->disconnect(this);
    m_hold = hold;
    if (m_hold)
        connect(m_hold, &LineHold::batchDue, this, &LineRecorder::tellBatch);
}

void LineRecorder::tellBatch()
{
    // Taken out first: a follower that records in turn adds after these, not among them.
    QList<WireEntry> batch;
    batch.swap(m_batch);
    for (const WireEntry &entry : batch)
        emit recorded(entry);
    batch.clear();
    if (m_batch.isEmpty())
        m_batch.swap(batch); // keeps the block for the next exchange
}

void LineRecorder::sent(int comPort, const QByteArray &bytes)
{
    tell(comPort, Transcript::Word::Sent, bytes);
}

void LineRecorder::received(int comPort, const QByteArray &bytes)
{
    tell(comPort, Transcript::Word::Recv, bytes);
}

void LineRecorder::note(int comPort, Transcript::Word word, const QString &text)
{
    tell(comPort, word, EscapeControlCharacters(text).toUtf8());
}

void LineRecorder::replyRead(int comPort, const QString &command, const QByteArray &reply,
        const QByteArray &shown, std::optional<double> value, const QString &client)
{
    tellBatch(); // what the line did comes before the reply it made
    emit replyRecorded({QDateTime::currentMSecsSinceEpoch(), elapsedMs(), comPort, command, reply,
            shown, value, client});
}
