#pragma once

#include <QStringList>

#include <cstdio>

// `quillon --scan`: probes `targets` (none: COM 1-4 and the USB serial adapters) and prints
// what answered, as a table or, with `json`, as a JSON array for scripts. What is planned,
// what is skipped and why go to `out` with the table and to `err` with JSON, so that `out`
// stays one JSON document. A progress line goes to `err` when it is a terminal. Returns the
// exit status: 0 when an instrument answered, 1 when none did. Needs an event loop's
// application object, not a display.
int RunScan(const QStringList &targets, bool json, std::FILE *out, std::FILE *err);
