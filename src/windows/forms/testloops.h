#pragma once

#include <QObject>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

class SerialControl;

// The main window's two test loops: the IDN loop sends "*IDN?" on every tick of Timer1, the
// command loop sends what stands in the command box; either, both or neither may run, and one
// count counts the ticks while any does. This object keeps the flags, the count, the timer and
// the order of a tick's steps; the window does the sending and the showing, by its signals.
class TestLoops : public QObject
{
    Q_OBJECT

public:
    enum class Loop { Idn, Command };
    // Idle: neither loop runs. Running: one or both run, between ticks. Ticking: a tick runs
    // its steps, and its Send may be waiting for the device; the replies read now are the loop's.
    enum class State { Idle, Running, Ticking };

    // A tick sends only while `line` is open; it must outlive this object.
    explicit TestLoops(const SerialControl *line, QObject *parent = nullptr);

    // Ticks from start-up to exit, every 500 ms until another period is chosen.
    QTimer *Timer1() const { return m_timer; }
    // The period of the option of that index: "100 ms", "200 ms", "300 ms", "500 ms" or
    // "1 sec". Any other index changes nothing.
    void choosePeriod(int index);

    int IDNTestFlg() const { return m_idnLoop ? 1 : 0; }
    int CMDloopFlg() const { return m_commandLoop ? 1 : 0; }
    qint64 LpCount() const { return m_count; }
    State state() const;

    void start(Loop loop);
    // The Stop Loop of either loop. The one that leaves both stopped sets the count to 0 and
    // hides it with its label.
    void stop(Loop loop);

    // One tick: the count is hidden and kept at 0 while no loop runs; otherwise the IDN step,
    // the command step, each only while the line is open, and the count step. A tick that falls
    // due while a tick's steps still run is dropped.
    void tick();

signals:
    // The IDN step: "*IDN?" into the command box, and Send.
    void idnStepDue();
    // The command step: Send what the command box holds, or say that it is empty.
    void commandStepDue();
    // The count box and its label show `count`.
    void counted(qint64 count);
    // The count box goes, and its label with it when `withLabel`.
    void countHidden(bool withLabel);

private:
    const SerialControl *m_line;
    QTimer *m_timer;
    bool m_idnLoop = false;
    bool m_commandLoop = false;
    bool m_ticking = false;
    qint64 m_count = 0;
};
