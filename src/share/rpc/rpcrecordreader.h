#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The records of an ONC RPC stream over TCP: each is one or more fragments, every fragment a
// four-byte mark (the top bit says it is the record's last, the rest its length) and its bytes.
// The reader asks only for what the record in hand still needs, so a caller that reads no more
// than wanted() never holds more than one record, and a record longer than the bound is refused
// from its marks alone, before its bytes arrive.
class RpcRecordReader
{
public:
    explicit RpcRecordReader(qsizetype maxRecordBytes);

    // How many bytes the reader can take now: 0 while a whole record waits to be taken, or once
    // the stream is refused.
    qsizetype wanted() const;
    // Takes up to wanted() of `size` bytes; returns how many it took.
    qsizetype take(const char *data, qsizetype size);

    bool recordReady() const { return m_ready; }
    // The whole record, fragments joined; the reader then goes on with the next.
    QByteArray takeRecord();

    // Why the stream cannot be read on, in the operator's words; empty while it can.
    std::optional<QString> refusal() const { return m_refusal; }

private:
    qsizetype m_max;
    QByteArray m_mark; // the fragment mark being read, up to four bytes
    qsizetype m_fragmentLeft = 0; // bytes of the current fragment not yet taken
    bool m_lastFragment = false;
    bool m_inFragment = false;
    bool m_ready = false;
    QByteArray m_record;
    std::optional<QString> m_refusal;
};
