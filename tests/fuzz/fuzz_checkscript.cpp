// Check scripts: the reader never fails on any text, reports at most its first errors in line
// order, and refuses whatever passes a bound; what it accepts writes back through the keyword
// table as a script that reads the same, and the run's walk through the repeats takes exactly
// the steps the reader counted, stopping at a bound when given a smaller one.

#include "protocol/checkscript.h"

#include <algorithm>
#include <cstdlib>

namespace {

QString written(const CheckScript &script)
{
    QString text;
    for (const ScriptStep &step : script.steps)
        text += ScriptLine(step.action) + u'\n';
    return text;
}

void walk(const CheckScript &script, qint64 bound)
{
    ScriptWalk walk(script.steps, bound);
    while (const std::optional<qsizetype> index = walk.next()) {
        const StepAction &action = script.steps.at(*index).action;
        if (std::holds_alternative<RepeatStep>(action) || std::holds_alternative<EndStep>(action))
            std::abort();
    }
    if (walk.stepsTaken() != qMin(bound, script.stepsRun)
            || walk.boundReached() != (bound < script.stepsRun))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const CheckScript script
            = ParseCheckScript(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!script.ok()) {
        if (!script.steps.isEmpty() || script.errors.isEmpty()
                || script.errors.size() > ScriptLimits::MaxReportedErrors
                || script.errors.size() > script.errorCount
                || !std::is_sorted(script.errors.begin(), script.errors.end(),
                        [](const ScriptError &a, const ScriptError &b) { return a.line < b.line; }))
            std::abort();
        return 0;
    }
    if (script.stepsRun > ScriptLimits::MaxStepsRun)
        std::abort();
    const QString text = written(script);
    const CheckScript again = ParseCheckScript(text.toUtf8());
    if (!again.ok() || written(again) != text || again.stepsRun != script.stepsRun)
        std::abort();
    // Each pass costs a little; a long walk is the same walk, only slower.
    if (script.stepsRun <= 100000) {
        walk(script, ScriptLimits::MaxStepsRun);
        walk(script, script.stepsRun / 2);
    }
    return 0;
}
