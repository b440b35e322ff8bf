#pragma once

#include "instrument.h"

#include <QElapsedTimer>
#include <QObject>

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
        int baud = 0; // 0: as fast as the line takes it; else 10 bits a byte
        int hangupAfter = 0; // 0: never; else close the line halfway through this message's answer
        bool trace = false;
    };

    SimLine(int fd, const Instrument::Options &device, const Timing &timing,
            QObject *parent = nullptr);
    ~SimLine() override;

signals:
    void hungUp();

private:
    void readLine();
    void answer(const QByteArray &bytes);
    void queue(const QByteArray &bytes);
    void pump();
    void hangUp();
    void trace(const char *direction, const QByteArray &bytes) const;

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
};
