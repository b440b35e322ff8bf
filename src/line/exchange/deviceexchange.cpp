#include "line/exchange/deviceexchange.h"

#include "line/linemessages.h"
#include "line/port/serialcontrol.h"
#include "protocol/numericvalue.h"

QString DescribeExchangeProblem(const ExchangeProblem &problem)
{
    switch (problem.error) {
    case ExchangeError::NothingToSend:
        return QStringLiteral("Nothing to send");
    case ExchangeError::MissingAddress:
        return QStringLiteral("Missing a device address");
    case ExchangeError::CommandOutsideByteRange:
        return QStringLiteral("Cannot send: the command holds a character outside the 8-bit "
                              "range (codes 0 to 255). Nothing was sent.");
    case ExchangeError::PortClosedForSend:
        return PortNotOpenMessage(QStringLiteral("nothing was sent"), problem.reopening);
    case ExchangeError::PortClosedForRead:
        return PortNotOpenMessage(QStringLiteral("nothing was read"), problem.reopening);
    case ExchangeError::AddressOutOfRange:
        return QStringLiteral("Address value not %1 to %2, re-enter")
                .arg(Wire::MinAddress)
                .arg(Wire::MaxAddress);
    case ExchangeError::AddressOutsideByteRange:
        return QStringLiteral("Address holds a character outside codes 0 to 255, re-enter");
    case ExchangeError::LineLocked:
        return QStringLiteral("The line is locked by %1: nothing was sent. It is free again once "
                              "that client unlocks it or goes.")
                .arg(EscapeOutsideText(problem.holder));
    case ExchangeError::PromptMissing:
        return PromptMissingMessage();
    case ExchangeError::InputOverflow:
        return InputOverflowMessage(problem.droppedBytes, SerialControl::IdleInputLimit);
    case ExchangeError::ReplyCut:
        return QStringLiteral("The reply was larger than %1 MiB and was cut: the rest was read and "
                              "discarded.")
                .arg(LineWait::ReplyCapBytes / (qsizetype(1024) * 1024));
    }
    return QString();
}

DeviceExchange::DeviceExchange(SerialControl &line, LineWait &wait) : m_line(line), m_wait(wait) { }

std::optional<ExchangeError> DeviceExchange::commandRefusal(
        const ExchangeSettings &settings, const QString &command)
{
    if (command.isEmpty())
        return ExchangeError::NothingToSend;
    // Only the Off framing goes without an address, even the start-up one ("4") must be
    // committed first.
    if (!settings.addressSet && settings.framing.protocol != Framing::Protocol::Off)
        return ExchangeError::MissingAddress;
    // Anything beyond code 255 would be silently replaced on its way to bytes.
    if (!FitsOnLine(command))
        return ExchangeError::CommandOutsideByteRange;
    return std::nullopt;
}

std::optional<ExchangeError> DeviceExchange::addressRefusal(const AddressEntry &entry)
{
    if (!entry.accepted)
        return ExchangeError::AddressOutOfRange;
    // An address goes on the line character for character as bytes, so a character beyond
    // code 255 ("5\u20ac") could never be sent; refuse it here rather than at every Send.
    if (!FitsOnLine(entry.devAddr))
        return ExchangeError::AddressOutsideByteRange;
    return std::nullopt;
}

std::optional<ExchangeProblem> DeviceExchange::readRefusal() const
{
    if (!m_line.PortOpen())
        return ExchangeProblem{ExchangeError::PortClosedForRead, 0, m_line.reopening()};
    return std::nullopt;
}

SentFrame DeviceExchange::frame(const ExchangeSettings &settings, const QByteArray &command)
{
    SentFrame sent;
    sent.frame = settings.unframed ? command : settings.framing.frame(command);
    sent.query = Framing::isQuery(sent.frame);
    sent.readFollows
            = settings.framing.readFollows(sent.frame, settings.autoQuery, settings.readRequired);
    return sent;
}

SendOutcome DeviceExchange::send(const ExchangeSettings &settings, const QString &command,
        const std::function<void(const SentFrame &)> &framed)
{
    SendOutcome outcome;
    m_line.Input();
    m_line.takeDroppedCount();
    std::optional<ExchangeError> refused = commandRefusal(settings, command);
    if (!refused && !m_line.PortOpen())
        refused = ExchangeError::PortClosedForSend;
    if (refused) {
        outcome.refusal = ExchangeProblem{
                *refused, 0, *refused == ExchangeError::PortClosedForSend && m_line.reopening()};
        return outcome;
    }

    outcome.sent = frame(settings, command.toLatin1());
    if (framed)
        framed(outcome.sent);
    outcome.written = m_line.Output(outcome.sent.frame);
    if (outcome.sent.readFollows) {
        outcome.reply = read(settings, outcome.sent.query);
        outcome.problems = outcome.reply->problems;
    } else if (settings.prompt && !m_wait.waitForPrompt()) {
        outcome.problems.append(ExchangeProblem{ExchangeError::PromptMissing});
    }
    // Otherwise the reply waits in the buffer for Read, or for the next Send to discard it.
    return outcome;
}

ReplyOutcome DeviceExchange::read(const ExchangeSettings &settings, bool lastWasQuery)
{
    ReplyOutcome outcome;
    const qint64 droppedBefore = m_line.takeDroppedCount();
    ReplyDisplayOptions options;
    options.displayAll = settings.displayAll;
    options.packetMode = settings.framing.protocol == Framing::Protocol::Packet;
    options.lastWasQuery = lastWasQuery;
    options.showCount = settings.showCount;
    options.lineBreak = settings.lineBreak;
    // Formatted as the settle begins, in time that is spent anyway; only bytes the drain then
    // adds call for it again. A long reply would lengthen the settle.
    constexpr qsizetype kFormatWhileSettling = 4096;
    ReplyDisplay early;
    qsizetype earlyLength = -1; // none formatted
    outcome.wait = m_wait.readReply(
            settings.framing.terminator(), settings.prompt,
            [&](const QByteArray &received) {
                if (received.size() > kFormatWhileSettling)
                    return;
                early = FormatReply(received, options);
                earlyLength = received.size();
                if (m_earlyDisplay)
                    m_earlyDisplay(early);
            },
            settings.settleSeconds);
    if (outcome.wait.cut)
        m_line.note(Transcript::Word::Cut, DescribeExchangeProblem({ExchangeError::ReplyCut}));

    const bool earlyHolds = earlyLength == outcome.wait.received.size();
    outcome.displayedEarly = earlyHolds && m_earlyDisplay;
    outcome.display = earlyHolds ? std::move(early) : FormatReply(outcome.wait.received, options);
    outcome.reading = ReadReply(outcome.wait.received, settings.framing.protocol);

    if (outcome.wait.promptMissing)
        outcome.problems.append(ExchangeProblem{ExchangeError::PromptMissing});
    if (outcome.wait.cut)
        outcome.problems.append(ExchangeProblem{ExchangeError::ReplyCut});
    if (droppedBefore > 0)
        outcome.problems.append(ExchangeProblem{ExchangeError::InputOverflow, droppedBefore});
    return outcome;
}
