// Send and Read: the exchange of one command with the device, as the window shows it.

#include "line/exchange/deviceexchange.h"
#include "line/exchange/linewait.h"
#include "line/linehold.h"
#include "line/session/linesession.h"
#include "ui_frmmain.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/testloops.h"

namespace {

// A loop's tick asks through the same Send as the operator; its replies are the loop's.
ExchangeOrigin originOf(const TestLoops &loops)
{
    return loops.state() == TestLoops::State::Ticking ? ExchangeOrigin::Loop
                                                      : ExchangeOrigin::Operator;
}

} // namespace

bool frmMain::lineTakenByAnother(void (frmMain::*handler)())
{
    // A network client that has the line to itself is named, and nothing is sent.
    if (const QString holder = m_session->lockedBy(); !holder.isEmpty()) {
        ExchangeProblem locked{ExchangeError::LineLocked};
        locked.holder = holder;
        reportError(DescribeExchangeProblem(locked));
        return true;
    }
    if (!exchangeInProgress())
        return false;
    // A client's exchange holds the line: this one takes its turn once that has ended. The
    // window's own exchange, waiting further up (a tick during a Send), lets nothing else in.
    if (!m_session->hold().holder().isEmpty() && !std::exchange(m_turnDue, true))
        m_session->hold().whenFree(this, [this, handler] {
            m_turnDue = false;
            (this->*handler)();
        });
    return true;
}

void frmMain::cmdSend_Click()
{
    if (lineTakenByAnother(&frmMain::cmdSend_Click))
        return;
    LineSession::Turn turn(*m_session);
    sendCommand(exchangeSettings());
}

void frmMain::cmdRead_Click()
{
    if (lineTakenByAnother(&frmMain::cmdRead_Click))
        return;
    // A closed or lost port is refused as Send refuses it, so the message that explained the
    // loss is replaced by one that says what to press, not by "Rx buffer empty".
    if (const auto refused = m_session->exchange().readRefusal()) {
        reportError(DescribeExchangeProblem(*refused));
        return;
    }
    LineSession::Turn turn(*m_session);
    const ExchangeSettings settings = exchangeSettings();
    startRead();
    showReply(m_session->read(settings, m.QueryFlg == 1, originOf(*m_loops), m.lastCmd));
}

ExchangeSettings frmMain::exchangeSettings() const
{
    ExchangeSettings settings;
    settings.framing = m.framing;
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
    const SendOutcome outcome
            = m_session->send(settings, command, originOf(*m_loops), [&](const SentFrame &sent) {
                  if (typed.isEmpty())
                      ui->combCmd->setEditText(m.lastCmd);
                  m.lastCmd = command;
                  m.QueryFlg = sent.query ? 1 : 0;
                  if (sent.readFollows) {
                      // Empty while the read waits, rather than showing "Sent" for no time at all.
                      // Until the window can draw, nobody sees the box: a reply that comes first
                      // replaces the old one at once, and clearing the box meanwhile would only
                      // cost time.
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
}

void frmMain::Tdelay(double delaytime)
{
    LineWait::settle(delaytime);
}
