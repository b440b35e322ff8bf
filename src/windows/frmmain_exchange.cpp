// Send and Read: the exchange of one command with the device, as the window shows it.

#include "line/deviceexchange.h"
#include "line/linemessages.h"
#include "line/linewait.h"
#include "line/serialcontrol.h"
#include "protocol/framing.h"
#include "ui_frmmain.h"
#include "windows/frmmain.h"
#include "windows/testloops.h"

void frmMain::cmdSend_Click()
{
    if (m_lineWait->busy())
        return;
    LineWait::Exchange exchange(*m_lineWait);
    sendCommand(exchangeSettings());
}

void frmMain::cmdRead_Click()
{
    if (m_lineWait->busy())
        return;
    // A closed or lost port is refused as Send refuses it, so the message that explained the
    // loss is replaced by one that says what to press, not by "Rx buffer empty".
    if (!MSComm1->PortOpen()) {
        reportError(PortNotOpenMessage(QStringLiteral("nothing was read")));
        return;
    }
    LineWait::Exchange exchange(*m_lineWait);
    const ExchangeSettings settings = exchangeSettings();
    startRead();
    showReply(m_exchange->read(settings, m.QueryFlg == 1));
}

ExchangeSettings frmMain::exchangeSettings() const
{
    ExchangeSettings settings;
    settings.addrMode = m.addrMode;
    settings.packetMode = m.packetMode;
    settings.devAddr = m.devAddr.toLatin1();
    settings.addCR = checked(ui->ckCR);
    settings.addLF = checked(ui->ckLF);
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
    m_exchange->discardStale();
    const QString typed = ui->combCmd->currentText();
    if (m.lastCmd.isEmpty() && typed.isEmpty()) {
        reportError(QStringLiteral("Nothing to send"));
        return;
    }
    if (!m.AddrSetFlg && (settings.addrMode || settings.packetMode)) {
        reportError(QStringLiteral("Missing a device address"));
        return;
    }
    const QString command = typed.isEmpty() ? m.lastCmd : typed;
    if (!FitsOnLine(command)) {
        reportError(QStringLiteral("Cannot send: the command holds a character outside the 8-bit "
                                   "range (codes 0 to 255). Nothing was sent."));
        return;
    }
    if (!MSComm1->PortOpen()) {
        reportError(PortNotOpenMessage(QStringLiteral("nothing was sent")));
        return;
    }

    // An empty box repeats the previous command, and shows it again.
    if (typed.isEmpty())
        ui->combCmd->setEditText(m.lastCmd);
    m.lastCmd = command;
    const SendOutcome outcome
            = m_exchange->send(settings, command.toLatin1(), [&](const SentFrame &sent) {
                  m.outMsg = sent.frame;
                  m.QueryFlg = sent.query ? 1 : 0;
                  if (sent.readFollows) {
                      // A Read clears the box before the window could draw anything, so it
                      // goes straight to empty rather than showing "Sent" for no time at all.
                      setResults(QString());
                      startRead();
                  } else {
                      setResults(QStringLiteral("Sent ") + command);
                  }
              });
    if (outcome.reply)
        showReply(*outcome.reply);
    else if (outcome.promptMissing)
        reportError(PromptMissingMessage());
}

void frmMain::startRead()
{
    hideError();
    // "Read Req'd after Send" asks for one read after the next Send; it is spent now.
    ui->ckRead->setChecked(false);
}

void frmMain::showReply(const ReplyOutcome &reply)
{
    if (reply.wait.promptMissing)
        reportError(PromptMissingMessage());
    setResults(QString::fromLatin1(reply.display.results));
    for (int i = 0; i < reply.display.beeps; ++i)
        Beep();
    // Last, so that no later message hides it: a device that talks on its own is the likely
    // cause of whatever else went wrong here, a missing prompt included.
    if (reply.droppedBefore > 0)
        reportError(InputOverflowMessage(reply.droppedBefore));
    emit replyRead(reply.wait.received, m_loops->state() == TestLoops::State::Ticking);
}

void frmMain::Tdelay(double delaytime)
{
    LineWait::settle(delaytime);
}
