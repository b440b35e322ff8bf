#pragma once

#include <QObject>
#include <QString>

// Whether an exchange holds the line, and how far it has come: one state, owned by the wait
// that carries the exchange out, which everyone else only asks.
//
//   Free -> Quiet -> Yielding -> Free        (an exchange that lets events run)
//   Free -> Quiet -> Free                    (one that ends before it does)
//
// While the line is held, what the device sends is left for the exchange. While it is Quiet,
// no event has run since the exchange began, so nobody can be looking: the recorder keeps what
// happens in a batch and tells it in the exchange's spare time (batchDue()). From Yielding on,
// the operator can act and watch, and the line is recorded live.
class LineHold : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Free, Quiet, Yielding };
    Q_ENUM(Phase)

    using QObject::QObject;

    Phase phase() const { return m_phase; }
    bool held() const { return m_phase != Phase::Free; }
    // Who holds the line, in the operator's words ("the window", a client's address); empty
    // when it is free.
    QString holder() const { return m_holder; }

    // The transitions, for the wait alone.
    void begin(const QString &holder);
    void yield();
    void end();
    // The exchange has time to spare: the batch may be told now.
    void spareTime() { emit batchDue(); }

    // Runs `then` in `context` once the exchange that holds the line now has ended and returned,
    // not from inside its wait: whatever it starts then does not hold that exchange up.
    template<typename Then>
    void whenFree(QObject *context, Then then) const
    {
        connect(this, &LineHold::ended, context, then,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    }

signals:
    void begun();
    // The exchange held now lets events run for the first time.
    void yielded();
    // `yielded`: the exchange had let events run.
    void ended(bool yielded);
    // What the recorder keeps in its batch is to be told now.
    void batchDue();

private:
    Phase m_phase = Phase::Free;
    QString m_holder;
};
