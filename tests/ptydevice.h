#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <thread>

class QSocketNotifier;
class QTimer;

// The device end of a pseudo-terminal. Quillon opens the other end as COM n through the
// QUILLON_COMn binding, so every test goes through real serial I/O in the kernel.
//
// It runs on the test's thread: what it receives and what it sends happen while the
// application processes events, which every wait in Send and Read does.
class PtyDevice : public QObject
{
    Q_OBJECT

public:
    explicit PtyDevice(QObject *parent = nullptr);
    ~PtyDevice() override;

    QString path() const { return m_path; }
    // Points QUILLON_COMn at this device.
    void bindTo(int comPort) const;

    // Everything the application has written so far (and keeps collecting).
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // Processes events until `count` bytes have arrived or the timeout passes.
    bool waitForReceived(qsizetype count, int timeoutMs = 3000);

    // Sends bytes to the application, now or after a delay, optionally paced at a baud rate
    // (10 bits a byte) as a real line would deliver them.
    void send(const QByteArray &bytes, int delayMs = 0, int baud = 0);
    // Sends from a thread of its own after `delayMs`: the bytes come even while the application
    // lets no event run, as in the settle.
    void sendFromThread(const QByteArray &bytes, int delayMs);
    // Bytes given to send() that the kernel has not taken yet.
    qsizetype unsent() const { return m_pending.size() + m_paced.size(); }

    // Called with each chunk that arrives; lets a test answer like a device.
    std::function<void(const QByteArray &)> onReceived;

    // The line settings the application set (as the kernel holds them for the port).
    int outputBaud() const;
    bool rawEightN1() const;

    // The device vanishes: the master end closes.
    void hangUp();

private:
    void readAvailable();
    void writePending();

    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QByteArray m_received;
    QByteArray m_pending;
    QSocketNotifier *m_readNotifier = nullptr;
    QTimer *m_pacer = nullptr;
    QByteArray m_paced;
    std::thread m_sender;
};
