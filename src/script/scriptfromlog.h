#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

struct ScriptFromLog
{
    QByteArray script; // a check script, UTF-8
    int errorLine = 0; // of the transcript, when it could not be read
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Turns a --log transcript into a check script that sends every recorded frame again, byte for
// byte, and expects every recorded reply, byte for byte, as the read took it. A frame is written
// back as the command and framing that make it (port, framing, terminator, query) when a script
// line gives exactly that frame back, and as its bytes (send-raw, query-raw) when none does.
// A pause before a frame is kept as a wait. Every line of the transcript is checked: one that
// Quillon would not write is refused with its number. `source` names the transcript in the
// script's opening comment.
ScriptFromLog ScriptFromTranscript(const QByteArray &transcript, const QString &source);

// --script-from-log: reads the transcript at `path` and prints its script on `out`. Returns the
// exit status: 0, or 2 when the file cannot be read or is not a transcript (said on `err`).
int PrintScriptFromLog(const QString &path, std::FILE *out, std::FILE *err);
