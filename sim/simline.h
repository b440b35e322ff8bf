#pragma once

#include "instrument.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <random>

class QSocketNotifier;
class QTimer;

// Puts an Instrument on a line (the master end of a pseudo-terminal, or a real serial device):
// reads what the application sends, answers after the configured latency and at the configured
// pace, and can hang up after a number of messages.
class SimLine : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        int delayMs = 0; // latency before each answer
        QHash<int, int> lateMs; // further latency of the instrument at an address, by address
        int baud = 0; // 0: as fast as the line takes it; else 10 bits a byte
        int hangupAfter = 0; // 0: never; else close the line halfway through this message's answer
        bool trace = false;
        // With a line speed (a termios constant such as B19200), bytes are understood only while
        // the line is set to it, read from `settingsFd` as a UART's receiver would; at any other
        // speed they turn into framing garbage, and so does what goes back.
        unsigned lineSpeed = 0;
        int settingsFd = -1;
    };

    SimLine(int fd, const Instrument::Options &device, const Timing &timing,
            QObject *parent = nullptr);
    ~SimLine() override;

signals:
    void hungUp();

private:
    void readLine();
    void answer(const QByteArray &bytes, int lateMs = 0);
    // Answers what `done` asked, each instrument after its own latency; `reply` holds the echo
    // followed by every answer.
    void answerEach(const QByteArray &reply, const QList<Instrument::Exchange> &done);
    void queue(const QByteArray &bytes);
    void pump();
    void hangUp();
    void trace(const char *direction, const QByteArray &bytes) const;
    bool atLineSpeed() const;
    // What `size` bytes sent at the wrong speed look like: anything but a terminator or the
    // prompt, so the other side can tell it from an answer only by waiting.
    QByteArray framingGarbage(qsizetype size);

    int m_fd;
    Instrument m_device;
    Timing m_timing;
    QSocketNotifier *m_reader = nullptr;
    QTimer *m_pacer = nullptr;
    QTimer *m_idle = nullptr;
    QByteArray m_out;
    QElapsedTimer m_clock;
    double m_pacedBudget = 0; // bytes the pace allows but not yet written
    qint64 m_lastPump = 0;
    bool m_hangingUp = false;
    std::mt19937 m_noise;
};
