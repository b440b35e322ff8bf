#pragma once

#include "line/exchange/deviceexchange.h"
#include "line/exchange/exchangerun.h"
#include "line/exchange/linewait.h"
#include "line/record/linerecorder.h"
#include "line/serialsettings.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>

class IdentityResolver;
class LineHold;
class SerialControl;

// Who asked for an exchange: the operator at the window, a loop's tick, a check script, the
// scan or a network client. A session records the replies of the origins its options name.
enum class ExchangeOrigin { Operator, Loop, Script, Scan, Client };

// Everything a line session is built from.
struct LineSessionOptions
{
    int comPort = 0; // the COM port opened, and how messages and the transcript name it
    // A line given directly (what a scan probes); empty: the one COM n is bound to.
    QString binding;
    QString settings = SerialSettings().text();
    bool reopen = true; // a lost line is reopened once it is back
    // The origins whose replies become readings (the CSV file, the loop chart): a loop's ticks,
    // a script's queries and a network client's; the operator's own sends and the scan's probes
    // are not readings.
    QList<ExchangeOrigin> recordedReplies{
            ExchangeOrigin::Loop, ExchangeOrigin::Script, ExchangeOrigin::Client};
    LineRecorder *recorder = nullptr; // none: nothing is recorded
    IdentityResolver *identityResolver = nullptr; // none: a binding by identity does not open
};

// One line and everything that works on it: the port, the wait, the rule book of an exchange
// and the recorder's feed, put together in one place from one options value. The window,
// --run, the scan and a network client each ask for a session; none assembles the parts.
//
// An exchange either waits on the line with events running (send(), read(): the window's and a
// script's, which the operator watches as they happen), or is submitted and carried out by
// signals (the scan's probes, a client's query). Either way exchanges take the line one at a
// time; a submitted one waits its turn.
class LineSession : public QObject
{
    Q_OBJECT

public:
    explicit LineSession(const LineSessionOptions &options, QObject *parent = nullptr);
    ~LineSession() override;

    const LineSessionOptions &options() const { return m_options; }
    SerialControl &port() { return *m_port; }
    const SerialControl &port() const { return *m_port; }
    LineWait &wait() { return *m_wait; }
    DeviceExchange &exchange() { return m_exchange; }
    const LineHold &hold() const;

    // Opens the line with the options' port, binding and settings; COM n and the settings may
    // be changed for this and later opens. True when it is open at once; otherwise
    // port().opened() or port().failure() follows.
    bool open();
    void setComPort(int comPort);
    bool setSettings(const QString &settings);
    void close();

    // Holds the line for the window's or a script's exchange, for its lifetime, so that what the
    // caller does with the outcome still happens in the exchange's turn.
    class Turn
    {
    public:
        explicit Turn(LineSession &session, const QString &holder = QString());
        ~Turn();
        Turn(const Turn &) = delete;
        Turn &operator=(const Turn &) = delete;

    private:
        LineWait::Hold m_hold;
    };

    // The one exchange of the window, a script and a network client, waiting on the line with
    // events running, inside a Turn. `origin` decides whether the reply becomes a reading;
    // `command` names it there, and `asker` the client that asked, if one did.
    SendOutcome send(const ExchangeSettings &settings, const QString &command,
            ExchangeOrigin origin, const std::function<void(const SentFrame &)> &framed = {},
            const QString &asker = {});
    ReplyOutcome read(const ExchangeSettings &settings, bool lastWasQuery, ExchangeOrigin origin,
            const QString &command);

    // Who has the line to themselves (a network client's lock), in the operator's words; empty
    // while nobody has. Exchanges of others are refused meanwhile, and say who holds it.
    QString lockedBy() const { return m_lockedBy; }
    void setLockedBy(const QString &holder) { m_lockedBy = holder; }

    // An exchange carried out by signals: `frame` goes on the line once it is free and the
    // earlier submissions are done, and `done` gets what came back. Nothing waits meanwhile.
    struct Submission
    {
        QByteArray frame;
        Framing framing; // how the reply ends
        ExchangeRun::Waits waits;
        QString holder; // who holds the line meanwhile, in the operator's words
    };
    using Submitted = std::function<void(const ExchangeRun::Result &)>;
    // An id that withdraw() takes.
    quint64 submit(const Submission &submission, const Submitted &done);
    // Withdraws a submission not carried out yet, or stops it while it is: `done` never runs.
    void withdraw(quint64 id);

private:
    void record(ExchangeOrigin origin, const QString &command, const ReplyOutcome &reply,
            const QString &asker = {});
    void startNextSubmission();

    LineSessionOptions m_options;
    QPointer<LineRecorder> m_recorder;
    SerialControl *m_port;
    LineWait *m_wait;
    DeviceExchange m_exchange;
    ExchangeRun *m_run;
    struct Queued
    {
        quint64 id = 0;
        Submission submission;
        Submitted done;
    };
    std::deque<Queued> m_queue;
    quint64 m_running = 0; // the submission on the line now, 0 for none
    quint64 m_lastId = 0;
    QString m_lockedBy;
};
