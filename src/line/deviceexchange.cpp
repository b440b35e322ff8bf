#include "deviceexchange.h"

#include "protocol/framing.h"
#include "serialcontrol.h"

char ExchangeSettings::terminator() const
{
    if (addLF)
        return Wire::LF;
    if (addCR)
        return Wire::CR;
    return 0;
}

QString ReplyCutMessage()
{
    return QStringLiteral("The reply was larger than %1 MiB and was cut: the rest was read and "
                          "discarded.")
            .arg(LineWait::ReplyCapBytes / (qsizetype(1024) * 1024));
}

DeviceExchange::DeviceExchange(SerialControl &line, LineWait &wait) : m_line(line), m_wait(wait) { }

void DeviceExchange::discardStale()
{
    m_line.Input();
    m_line.takeDroppedCount();
}

SentFrame DeviceExchange::frame(const ExchangeSettings &settings, const QByteArray &command)
{
    SentFrame sent;
    sent.frame = settings.unframed ? command
                                   : FrameMessage(command, settings.addrMode, settings.packetMode,
                                           settings.devAddr, settings.addCR, settings.addLF);
    // The framed message is tested, not the typed text: a '?' in the address or in the
    // checksum byte makes a query too.
    sent.query = sent.frame.contains(Wire::QueryMark);
    sent.readFollows
            = (sent.query && settings.autoQuery) || settings.readRequired || settings.packetMode;
    return sent;
}

SendOutcome DeviceExchange::send(const ExchangeSettings &settings, const QByteArray &command,
        const std::function<void(const SentFrame &)> &framed)
{
    SendOutcome outcome;
    outcome.sent = frame(settings, command);
    if (framed)
        framed(outcome.sent);
    outcome.written = m_line.Output(outcome.sent.frame);
    if (outcome.sent.readFollows)
        outcome.reply = read(settings, outcome.sent.query);
    else if (settings.prompt)
        outcome.promptMissing = !m_wait.waitForPrompt();
    // Otherwise the reply waits in the buffer for Read, or for the next Send to discard it.
    return outcome;
}

ReplyOutcome DeviceExchange::read(const ExchangeSettings &settings, bool lastWasQuery)
{
    ReplyOutcome outcome;
    outcome.droppedBefore = m_line.takeDroppedCount();
    outcome.wait = m_wait.readReply(settings.terminator(), settings.prompt);
    if (outcome.wait.cut)
        m_line.note("cut", ReplyCutMessage());

    ReplyDisplayOptions options;
    options.displayAll = settings.displayAll;
    options.packetMode = settings.packetMode;
    options.lastWasQuery = lastWasQuery;
    options.showCount = settings.showCount;
    options.lineBreak = settings.lineBreak;
    outcome.display = FormatReply(outcome.wait.received, options);
    return outcome;
}
