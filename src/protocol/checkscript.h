#pragma once

#include "framing.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <functional>
#include <optional>
#include <variant>

// A check script: the steps an operator would take by hand at the window (choose the port and
// framing, send, read, look at the reply), one a line, each with a verdict. Reading, writing
// and judging are pure; running the steps on a line belongs to the caller.

// Bounds of a script, which anyone may have written: the reader refuses one that would nest or
// run past them, naming the line, and the runner keeps the step bound as it goes.
namespace ScriptLimits {
constexpr qsizetype MaxScriptBytes = qsizetype(8) * 1024 * 1024;
constexpr int MaxNesting = 64; // repeats inside repeats
constexpr int MaxRepeat = 1000000; // passes of one repeat
// Steps one run may take, each pass of a repeat counted as one, so that nested repeats with
// nothing inside cannot spin for ever either.
constexpr qint64 MaxStepsRun = 10000000;
constexpr qint64 MaxWaitMs = 24LL * 3600 * 1000;
constexpr int MaxReportedErrors = 20;
} // namespace ScriptLimits

struct Expectation
{
    enum class Kind { Pattern, Exact, Number, Ack, Nak, Nothing };
    Kind kind = Kind::Nothing;
    QRegularExpression pattern; // Pattern: searched in the reply as the results box shows it
    QByteArray exact; // Exact: the reply's bytes, all of them, prompt and terminators included
    double low = 0; // Number: the closed range
    double high = 0;
};

// One step of each kind; a script line holds one of them.
struct PortStep
{
    int comPort = 1;
};
struct SettingsStep
{
    QString text; // checked by whoever opens the port
};
struct FramingStep
{
    Framing::Protocol protocol = Framing::Protocol::Off;
    int address = 0; // Addr and Packet
};
struct TerminatorStep
{
    bool addCR = false;
    bool addLF = true;
};
struct PromptStep
{
    bool on = true;
};
struct SendStep
{
    QString command; // as typed; raw: the frame's bytes, one character each
    bool raw = false; // send-raw, query-raw: the bytes go out unframed, no terminator added
    bool query = false; // a read follows, whatever the frame holds
};
struct ExpectStep
{
    Expectation expectation;
};
struct WaitStep
{
    int ms = 0;
};
struct RepeatStep
{
    int count = 0;
    qsizetype endIndex = -1;
};
struct EndStep
{
    qsizetype repeatIndex = -1;
};
using StepAction = std::variant<PortStep, SettingsStep, FramingStep, TerminatorStep, PromptStep,
        SendStep, ExpectStep, WaitStep, RepeatStep, EndStep>;

// For std::visit on a step: one callable per kind.
template<typename... Visitors>
struct Overloaded : Visitors...
{
    using Visitors::operator()...;
};
template<typename... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

struct ScriptStep
{
    int line = 0; // 1-based line of the script
    QString source; // the line as written, without the end of line
    StepAction action;
};

struct ScriptError
{
    int line = 0;
    QString message;
};

struct CheckScript
{
    // Empty when the script cannot run: nothing of it is done then.
    QList<ScriptStep> steps;
    // The first ScriptLimits::MaxReportedErrors, by line; errorCount counts them all.
    QList<ScriptError> errors;
    int errorCount = 0;
    qint64 stepsRun = 0; // what a run takes, each pass of a repeat counted as one
    bool ok() const { return errorCount == 0; }
};

// A rule the reader leaves to the layer that owns it (the line's settings, the refusals of a
// send): the message for a step that breaks it, or an empty text.
using StepCheck = std::function<QString(const ScriptStep &)>;

// The whole script is read before any step runs, so a typo on the last line costs nothing on
// the line, and every bad line is reported at once. Lines end in LF or CR LF; a line whose
// first non-blank is '#' is a comment.
CheckScript ParseCheckScript(const QByteArray &text, const StepCheck &check = {});

// The script line that reads back as `action`.
QString ScriptLine(const StepAction &action);

// The order in which a run takes the steps: repeats unrolled with a stack of passes left, never
// by recursion, and at most `bound` steps, each pass of a repeat counted as one.
class ScriptWalk
{
public:
    explicit ScriptWalk(const QList<ScriptStep> &steps, qint64 bound = ScriptLimits::MaxStepsRun);
    // The index of the next step to run, never a repeat or an end; none at the end of the
    // script or at the bound.
    std::optional<qsizetype> next();
    // The walk stopped at its bound, before the step at position().
    bool boundReached() const { return m_boundReached; }
    qsizetype position() const { return m_index; }
    qint64 stepsTaken() const { return m_taken; }

private:
    struct Loop
    {
        qsizetype repeatIndex;
        int passesLeft;
    };
    // Counts one step; false at the bound.
    bool take();

    const QList<ScriptStep> &m_steps;
    qint64 m_bound;
    QList<Loop> m_loops;
    qsizetype m_index = 0;
    qint64 m_taken = 0;
    bool m_boundReached = false;
};

// The last reply as a check sees it.
struct ReplyUnderCheck
{
    bool read = false; // false when no read followed the last send
    QByteArray received; // every byte the read took
    QByteArray shown; // the results box text for it
    bool packetMode = false; // the reply was asked for in packet framing
};

struct CheckVerdict
{
    bool passed = false;
    QString detail; // on failure: what was expected and what came
};

CheckVerdict CheckReply(const Expectation &expectation, const ReplyUnderCheck &reply);

// How a step is named in the output and the report: the line as written, trimmed.
QString StepTitle(const ScriptStep &step);
