// Send and Read: the exchange of one command with the device, as the window shows it.

#include "line/exchange/deviceexchange.h"
#include "line/exchange/linewait.h"
#include "line/record/linerecorder.h"
#include "line/port/serialcontrol.h"
#include "ui_frmmain.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/testloops.h"

void frmMain::cmdSend_Click()
{
    if (m_lineWait->busy())
        return;
    LineWait::Hold held(*m_lineWait);
    sendCommand(exchangeSettings());
}

void frmMain::cmdRead_Click()
{
    if (m_lineWait->busy())
        return;
    // A closed or lost port is refused as Send refuses it, so the message that explained the
    // loss is replaced by one that says what to press, not by "Rx buffer empty".
    if (const auto refused = m_exchange->readRefusal()) {
        reportError(DescribeExchangeProblem({*refused}));
        return;
    }
    LineWait::Hold held(*m_lineWait);
    const ExchangeSettings settings = exchangeSettings();
    startRead();
    showReply(m_exchange->read(settings, m.QueryFlg == 1));
}

ExchangeSettings frmMain::exchangeSettings() const
{
    ExchangeSettings settings;
    // Packet wins over Addr, as in the framing itself; the two are never both chosen.
    settings.framing.protocol = m.packetMode ? Framing::Protocol::Packet
            : m.addrMode                     ? Framing::Protocol::Addr
                                             : Framing::Protocol::Off;
    settings.framing.address = m.devAddr.toLatin1();
    settings.framing.addCR = checked(ui->ckCR);
    settings.framing.addLF = checked(ui->ckLF);
    settings.addressSet = m.AddrSetFlg;
    settings.autoQuery = checked(ui->ckAuto);
    settings.readRequired = checked(ui->ckRead);
    settings.prompt = checked(ui->ckPrompt);
    // Unlike the other boxes, "Display All Characters" counts as on in any state but
    // unchecked, a partially checked box included.
    settings.displayAll = ui->ckDispAll->checkState() != Qt::Unchecked;
    settings.showCount = checked(ui->ckByteCnt);
    settings.lineBreak = m.crlf.toLatin1();
    return settings;
}

void frmMain::sendCommand(const ExchangeSettings &settings)
{
    hideError();
    const QString typed = ui->combCmd->currentText();
    // An empty box repeats the previous command, and shows it again.
    const QString command = typed.isEmpty() ? m.lastCmd : typed;
    const SendOutcome outcome = m_exchange->send(settings, command, [&](const SentFrame &sent) {
        if (typed.isEmpty())
            ui->combCmd->setEditText(m.lastCmd);
        m.lastCmd = command;
        m.outMsg = sent.frame;
        m.QueryFlg = sent.query ? 1 : 0;
        if (sent.readFollows) {
            // Empty while the read waits, rather than showing "Sent" for no time at all. Until
            // the window can draw, nobody sees the box: a reply that comes first replaces the
            // old one at once, and clearing the box meanwhile would only cost time.
            m_resultsClearDue = true;
            startRead();
        } else {
            setResults(QStringLiteral("Sent ") + command);
        }
    });
    if (outcome.refusal)
        reportError(DescribeExchangeProblem(*outcome.refusal));
    else if (outcome.reply)
        showReply(*outcome.reply);
    else
        for (const ExchangeProblem &problem : outcome.problems)
            reportError(DescribeExchangeProblem(problem));
}

void frmMain::startRead()
{
    hideError();
    // "Read Req'd after Send" asks for one read after the next Send; it is spent now.
    ui->ckRead->setChecked(false);
}

void frmMain::showReply(const ReplyOutcome &reply)
{
    if (!reply.displayedEarly)
        setResults(QString::fromLatin1(reply.display.results));
    for (int i = 0; i < reply.display.beeps; ++i)
        Beep();
    for (const ExchangeProblem &problem : reply.problems)
        reportError(DescribeExchangeProblem(problem));
    const bool duringLoopTick = m_loops->state() == TestLoops::State::Ticking;
    // The loop's replies are recorded, the operator's own are not. A read that the port's
    // closing cut short (Initialize pressed, the device gone) is no reply.
    if (duringLoopTick && MSComm1->PortOpen())
        m_recorder->replyRead(MSComm1->CommPort(), m.lastCmd, reply.wait.received,
                reply.display.results, reply.reading.number);
}

void frmMain::Tdelay(double delaytime)
{
    LineWait::settle(delaytime);
}
