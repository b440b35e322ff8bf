// A transcript made into a check script (--script-from-log): whatever the file holds, the reader
// ends, names the line it could not read, or writes a script that a run reads back without one
// error, since a transcript may come from anywhere and its script is run on a real line.

#include "script/scriptfromlog.h"
#include "script/scriptrunner.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray transcript(reinterpret_cast<const char *>(data), qsizetype(size));
    const ScriptFromLog made = ScriptFromTranscript(transcript, QStringLiteral("fuzzed.log"));
    if (!made.ok()) {
        if (made.errorLine < 0 || made.script.size() != 0)
            std::abort();
        return 0;
    }
    const CheckScript script = ReadCheckScript(made.script);
    if (!script.ok())
        std::abort();
    return 0;
}
