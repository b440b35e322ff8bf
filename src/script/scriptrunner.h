#pragma once

#include "protocol/checkscript.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

class LineRecorder;

struct ScriptRunOptions
{
    QString scriptPath;
    QString junitPath; // empty: no report
    // Told of the line's traffic and of every reply a step reads (for --log and --csv); none
    // when null.
    LineRecorder *recorder = nullptr;
    bool reopen = true; // a lost port is reopened once the device is back (--no-reconnect: not)
};

// Exit statuses of a script run: every check passed, one failed, or the script or its port
// is unusable (the run stopped there).
enum ScriptStatus { ScriptPassed = 0, ScriptFailed = 1, ScriptStopped = 2 };

// Runs a check script on the line without any window: one line per step and a summary on
// `out`, the script's own errors also on `err`. Needs a QCoreApplication (the line's events
// run while a reply is awaited) and nothing more, so it runs where no display exists.
int RunCheckScript(const ScriptRunOptions &options, std::FILE *out, std::FILE *err);

// Reads a script as a run does: the language, and the rules that the line owns (the settings
// text, what a send refuses), every bad line at once.
CheckScript ReadCheckScript(const QByteArray &text);
