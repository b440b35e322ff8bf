#pragma once

#include "tailbuffer.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

// The serial control each window holds as MSComm1: a small property-style wrapper around the
// line COM n is bound to (a serial device or a network serial server, see LineTransport) that
// carries bytes unchanged in both directions and reports every failure through failure(),
// once, instead of showing anything itself.
class LineTransport;
class ReconnectWatcher;
class LineRecorder;

class SerialControl : public QObject
{
    Q_OBJECT

public:
    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    void setCommPort(int comPort);
    int CommPort() const { return m_commPort; }

    // Takes effect at the next open. An unreadable text is refused and the old one kept.
    bool setSettings(const QString &settings);
    QString Settings() const { return m_settings; }

    // 0: Input returns everything buffered; n > 0: at most n bytes per call.
    void setInputLen(int length) { m_inputLen = length < 0 ? 0 : length; }

    // Where every frame, chunk, open, close and loss is recorded; none when null. The owner
    // keeps it alive for as long as this control.
    void setRecorder(LineRecorder *recorder) { m_recorder = recorder; }

    bool PortOpen() const;
    // Opening may fail: then the port stays closed, failure() says why, and false is returned.
    // A network port may take up to LineTransport::OpenTimeoutMs to open; events are handled
    // meanwhile, so the windows keep answering.
    bool setPortOpen(bool open);
    // What the operator should know about the port just opened (a raw network line that the
    // baud rate cannot reach, a server that did not confirm the settings); empty when nothing.
    QString openNotice() const { return m_openNotice; }

    // After a loss, wait for the same device or URL to come back and open it again with the
    // same settings (on unless turned off). Closing or opening the port stops the wait.
    void setReconnect(bool on);
    bool reconnect() const { return m_reconnect; }
    bool waitingForReturn() const;

    // Modem lines. A pseudo-terminal has none; that is not worth a word to the operator.
    void setRTSEnable(bool on);
    void setDTREnable(bool on);

    // Queues every byte for the line; false (with failure()) when no port is open.
    bool Output(const QByteArray &bytes);
    // Everything received so far (or InputLen bytes of it), removed from the buffer.
    QByteArray Input();
    qint64 InBufferCount() const;

    // While an exchange waits, everything the device sends is kept. Otherwise at most
    // IdleInputLimit bytes wait for the next Read, the newest, so that a device that never
    // stops talking cannot fill the memory.
    static constexpr qint64 IdleInputLimit = qint64(1024) * 1024;
    void setExchangeWaiting(bool waiting) { m_exchangeWaiting = waiting; }
    // Bytes dropped over the limit since the last call.
    qint64 takeDroppedCount();

    // The device the next open uses (or the open port uses).
    QString devicePath() const;
    QString portLabel() const;

signals:
    void failure(const QString &message);
    // Something the operator should know that is not a failure: a lost port is back.
    void notice(const QString &message);

private:
    void handleLoss(const QString &systemText);
    void closeLostPort();
    void keepIdleInput();
    // Closes and lets go of the transport, whatever state it is in.
    void dropTransport();
    void adoptTransport(LineTransport *transport);
    void stopWaitingForReturn();
    void tryReopen();
    void reopenFinished(LineTransport *attempt, bool opened);
    void reopenFailed(LineTransport *attempt);
    void adoptReopened(LineTransport *attempt);

    QPointer<LineTransport> m_transport;
    QString m_openNotice;
    QString m_openSettings; // what the open port was opened with, for its reopening
    bool m_reconnect = true;
    ReconnectWatcher *m_returnWatcher = nullptr;
    QPointer<LineTransport> m_reopenAttempt;
    // A serial server accepts a connection even when it cannot serve it (another client has
    // the instrument) and closes it at once; a reopened network line counts only once it has
    // stayed up this long, so such a server is not reported lost and back over and over.
    static constexpr int NetworkReopenProbationMs = 500;
    // The modem lines as last asked for, set again on a reopened line.
    bool m_requestToSend = false;
    bool m_dataTerminalReady = false;
    LineRecorder *m_recorder = nullptr;
    int m_commPort = 0;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_inputLen = 0;
    bool m_lost = false;
    QString m_openDevice;
    bool m_exchangeWaiting = false;
    // What arrived while no exchange waited, bounded; always older than the port's own buffer.
    TailBuffer m_idleInput{IdleInputLimit};
};
