#pragma once

#include "line/linemessages.h"
#include "line/port/tailbuffer.h"
#include "line/record/transcriptformat.h"
#include "line/serialsettings.h"
#include "line/transport/transportregistry.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

// The serial control each window holds as MSComm1: a small property-style wrapper around the
// line COM n is bound to (a serial device or a network serial server, see LineTransport) that
// carries bytes unchanged in both directions and reports every failure through failure(),
// once, instead of showing anything itself.
//
// The port is in one State at a time, and enter() is the one place that changes it:
//
//   Closed -> Opening -> Open -> Lost -> WaitingToReopen <-> OnProbation -> Open
//
// closing or opening is possible from every state; a failed open ends Closed; a lost port
// waits to be reopened unless reopening is off, and then stays Lost. Only Open carries bytes.
class IdentityResolver;
class LineHold;
class LineTransport;
class LineRecorder;
class PortReopener;

class SerialControl : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Opening, Open, Lost, WaitingToReopen, OnProbation };
    Q_ENUM(State)

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    State state() const { return m_state; }

    void setCommPort(int comPort);
    int CommPort() const { return m_commPort; }
    // A line opened directly rather than the one COM n is bound to (what a scan probes);
    // empty: COM n's binding.
    void setBinding(const QString &binding) { m_binding = binding; }

    // Takes effect at the next open. An unreadable text is refused and the old one kept.
    bool setSettings(const QString &settings);
    // Gives the open line new settings without closing it, where the line can take them so (a
    // network server is told on the same connection; the next Output waits for its answer).
    // False when it cannot: the caller closes and opens the port again.
    bool applySettings(const QString &settings);
    QString Settings() const { return m_settings; }

    // 0: Input returns everything buffered; n > 0: at most n bytes per call.
    void setInputLen(int length) { m_inputLen = length < 0 ? 0 : length; }

    // Where every frame, chunk, open, close, loss and attempt to reopen is recorded; none when
    // null. The owner keeps it alive for as long as this control.
    void setRecorder(LineRecorder *recorder);
    // A line of text about this port in the record of the line.
    void note(Transcript::Word word, const QString &text);

    bool PortOpen() const { return m_state == State::Open; }
    // Opening may fail: then the port stays closed and failure() says why. A local device opens
    // at once: true. A network port may take up to LineTransport::OpenTimeoutMs, and a binding by
    // identity its search first: the port is then Opening, false is returned, and opened() or
    // failure() follows. Nothing waits meanwhile; the events go on.
    bool setPortOpen(bool open);
    // How a binding by identity finds its line, when opened and when reopened; none: such a
    // binding does not open. It must outlive this control.
    void setIdentityResolver(IdentityResolver *resolver);
    // Whether the open line's rate can be set from here (not a raw network line's).
    bool canSetRate() const;
    // Settings just applied wait for the far end's answer; settingsSettled() ends that.
    bool settingsPending() const;
    // Why the last open failed, or the open line was lost: what failure() told, in parts.
    LineFailure lastFailure() const { return m_lastFailure; }
    // What the operator should know about the port just opened (a raw network line that the
    // baud rate cannot reach, a server that did not confirm the settings); empty when nothing.
    QString openNotice() const { return m_openNotice; }

    // After a loss, wait for the same device or URL to come back and reopen it with the same
    // settings (on unless turned off). Closing or opening the port stops the wait.
    void setReopen(bool on);
    bool reopen() const { return m_reopen; }
    // The port was lost and waits, or tries, to be reopened by itself.
    bool reopening() const;

    // Modem lines. A pseudo-terminal has none; that is not worth a word to the operator.
    void setRTSEnable(bool on);
    void setDTREnable(bool on);

    // Queues every byte for the line; false (with failure()) when no port is open.
    bool Output(const QByteArray &bytes);
    // Everything received so far (or InputLen bytes of it), removed from the buffer.
    QByteArray Input();
    // Everything received so far, removed from the buffer and not recorded: for bytes read
    // only to be thrown away, which the transcript would otherwise keep without bound.
    QByteArray discardInput();
    qint64 InBufferCount() const;

    // While an exchange holds the line, everything the device sends is left for it. Otherwise at
    // most IdleInputLimit bytes wait for the next Read, the newest, so that a device that never
    // stops talking cannot fill the memory.
    static constexpr qint64 IdleInputLimit = qint64(1024) * 1024;
    // The hold this control asks whether an exchange waits; it must outlive the control.
    void setHold(const LineHold *hold) { m_hold = hold; }
    // Bytes dropped over the limit since the last call.
    qint64 takeDroppedCount();
    // Takes in what the system holds for the line without a turn of the event loop, waiting up
    // to `wait` for something to come; false where only the event loop can.
    bool takeWaiting(std::chrono::microseconds wait = {});

    // The device the next open uses.
    QString devicePath() const;

signals:
    void failure(const QString &message);
    // The port asked for with setPortOpen(true) is open: at once, or once it was reached.
    void opened();
    // Settings applied to the open line are settled: confirmed, refused or given up on.
    void settingsSettled();
    // Bytes have come while an exchange holds the line; they wait for it.
    void inputForExchange();
    // Something the operator should know that is not a failure: a lost port is back.
    void notice(const QString &message);
    void stateChanged(SerialControl::State state);

private:
    void enter(State next);
    void close();
    void openLine(const LineAddress &line);
    // Looks for the line whose instrument a binding by identity names, and opens it; none or
    // several fail the open.
    void findByIdentity();
    void cancelIdentitySearch();
    LineFailure IdentityResolverMissing() const;
    void openFinished(bool opened);
    // The binding of the open line, and the line it was found on when that is another.
    QString lineName() const;
    void failOpen(const LineFailure &why);
    void lineLost(const QString &systemText);
    void closeLostLine();
    void reopenAttemptFailed(int attempt, const LineFailure &why);
    void adoptReopened(LineTransport *transport);
    void adoptTransport(LineTransport *transport);
    // Closes and lets go of the transport, whatever state it is in.
    void dropTransport();
    void keepIdleInput();

    State m_state = State::Closed;
    QPointer<LineTransport> m_transport;
    // What the port was last opened at and with, for its reopening.
    LineAddress m_address;
    QString m_openSettings;
    QString m_openNotice;
    LineFailure m_lastFailure;
    bool m_reopen = true;
    PortReopener *m_reopener = nullptr;
    IdentityResolver *m_identityResolver = nullptr;
    bool m_searchingIdentity = false;
    QTimer m_openOverrun;
    // The modem lines as last asked for, set again on a reopened line.
    bool m_requestToSend = false;
    bool m_dataTerminalReady = false;
    LineRecorder *m_recorder = nullptr;
    int m_commPort = 0;
    QString m_binding;
    QString m_settings = SerialSettings().text();
    int m_inputLen = 0;
    const LineHold *m_hold = nullptr;
    // What arrived while no exchange waited, bounded; always older than the port's own buffer.
    TailBuffer m_idleInput{IdleInputLimit};
};
