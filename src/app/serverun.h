#pragma once

#include <cstdio>

struct CommandLine;
class LineRecorder;

// `quillon --serve`: opens COM 1, finds its instruments with a scan unless --device names them,
// serves them on the network until a signal ends it, and prints to `out` every resource string
// a client can open, one a line; what happens meanwhile (refusals, a lost port) goes to `err`.
// Every exchange is recorded in `recorder`. Returns the exit status: 1 when nothing answered the
// scan or the port cannot be opened, 2 when a port to listen on cannot be had. Needs an event
// loop's application object, not a display.
int RunServe(
        const CommandLine &commandLine, LineRecorder *recorder, std::FILE *out, std::FILE *err);
