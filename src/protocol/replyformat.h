#pragma once

#include <QByteArray>

// How Read turns the bytes it collected into the text of the results box.
struct ReplyDisplayOptions
{
    bool displayAll = false; // spell CR/LF out, no cutting, no packet check
    bool packetMode = false;
    bool lastWasQuery = false; // labels an ACK payload as a response rather than an ESR value
    bool showCount = false;
    QByteArray lineBreak = "\r\n"; // between the lines of the results box
};

struct ReplyDisplay
{
    QByteArray results; // the whole new text of the results box, byte for byte
    int beeps = 0;
};

ReplyDisplay FormatReply(const QByteArray &received, const ReplyDisplayOptions &options);
