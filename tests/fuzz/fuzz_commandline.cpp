// The command line: any list of arguments (split at NUL bytes) gives exactly one action; an
// error says what is wrong in one line; a run's values are taken from the arguments given.

#include "app/commandline.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList arguments{QStringLiteral("quillon")};
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (!bytes.isEmpty())
        for (const QByteArray &argument : bytes.split('\0'))
            arguments << QString::fromUtf8(argument);
    const CommandLine parsed = ParseCommandLine(arguments);
    if (parsed.action == CommandLine::Action::Error) {
        if (parsed.error.isEmpty())
            std::abort();
        return 0;
    }
    if (!parsed.error.isEmpty())
        std::abort();
    // Whatever a run was given came from the arguments, word for word.
    const auto given = [&](const QString &value) {
        for (const QString &argument : arguments)
            if (argument == value || argument.endsWith(u'=' + value))
                return true;
        return false;
    };
    for (const QString &device : parsed.comDevices)
        if (!device.isEmpty() && !given(device))
            std::abort();
    if (!parsed.logPath.isEmpty() && !given(parsed.logPath))
        std::abort();
    // Parsing is a function of the arguments alone.
    const CommandLine again = ParseCommandLine(arguments);
    if (again.action != parsed.action || again.logPath != parsed.logPath
            || again.comDevices != parsed.comDevices)
        std::abort();
    return 0;
}
