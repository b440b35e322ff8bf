#pragma once

#include "line/linemessages.h"
#include "line/serialsettings.h"
#include "line/transport/transportregistry.h"

#include <QIODevice>
#include <QString>

#include <chrono>

// What carries the bytes of COM n: a local serial device, or a TCP connection to a serial
// server. The serial control reads, writes, opens and closes through this and nothing else, so
// waits, loss reports and the transcript work the same whatever is underneath.
//
// Opening may take time (a connection, then agreeing the line settings with the server); it
// never takes longer than OpenTimeoutMs and never blocks the thread: openFinished() reports it.
class LineTransport : public QIODevice
{
    Q_OBJECT

public:
    static constexpr int OpenTimeoutMs = 3000;

    LineTransport(int comPort, const LineAddress &address, QObject *parent = nullptr);

    int comPort() const { return m_comPort; }
    const LineAddress &address() const { return m_address; }
    // The device path or URL COM n is bound to, as the operator wrote it.
    QString binding() const { return m_address.binding; }

    // Starts opening the line with `settings`. openFinished() follows exactly once, perhaps
    // before this returns; close() while opening ends it with false.
    virtual void startOpen(const SerialSettings &settings) = 0;
    bool opening() const { return m_opening; }
    // Why the last open failed.
    LineFailure openFailure() const { return m_openFailure; }
    // A failure of this line, `error` and `detail` filled in.
    LineFailure failure(LineError error, const QString &detail = QString()) const;
    // What the operator has to know about a line that did open: settings that could not be
    // set on the instrument's side. Empty when there is nothing to say.
    QString openNotice() const { return m_openNotice; }

    // Modem lines; a line without them ignores these.
    virtual void setRequestToSend(bool) { }
    virtual void setDataTerminalReady(bool) { }
    // Starts the transfer of everything written without waiting for it to finish.
    virtual void startTransfer() { }

    // Gives the open line new settings without closing it. False where the line cannot take
    // them that way; they then wait for the next open.
    virtual bool applySettings(const SerialSettings &) { return false; }
    // Whether the line's rate can be set from here at all, whatever the far end answered: a
    // raw network line keeps the server's.
    virtual bool canSetRate() const { return true; }
    // Settings just applied wait for the far end's answer, within their bound; what is written
    // meanwhile goes once they are settled, in order. settingsSettled() ends it.
    virtual bool settingsPending() const { return false; }
    // Takes in what the system holds for the line, without a turn of the event loop, waiting up
    // to `wait` for something to come. False where only the event loop can do that.
    virtual bool takeWaiting(std::chrono::microseconds /*wait*/) { return false; }

    bool isSequential() const override { return true; }

signals:
    void openFinished(bool opened);
    // The open line went away (device unplugged, other end hung up, connection dropped).
    // Emitted once per opening; the transport stays open until it is closed.
    void lost(const QString &systemText);
    // Something the operator should know about the open line that is no failure: settings
    // the other end did not confirm, or that this kind of line cannot carry.
    void notice(const QString &text);
    // The settings asked for are confirmed, refused or given up on; no longer pending.
    void settingsSettled();

protected:
    // Whether `descriptor` has something to read, or has been closed at the other end, within
    // `wait`. Where the system offers no such wait, false and at once.
    static bool descriptorReadable(qintptr descriptor, std::chrono::microseconds wait);
    void beginOpen();
    void finishOpen(bool opened, const LineFailure &failure = {});
    void setOpenNotice(const QString &notice) { m_openNotice = notice; }
    void reportLoss(const QString &systemText);

private:
    int m_comPort;
    LineAddress m_address;
    bool m_opening = false;
    bool m_lossReported = false;
    LineFailure m_openFailure;
    QString m_openNotice;
};
