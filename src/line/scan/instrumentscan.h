#pragma once

#include "protocol/framing.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// Finding who answers where: every port to probe is opened once, its baud rate changed on the
// open line, "*IDN?" tried plain and at every address until a rate answers, then at that rate
// plain and at each address, addressed and as a packet, and last with each line end. Ports are
// probed side by side, each on a line session of its own (LineProbe); a probe waits only as
// long as the line has shown a reply needs, within a bound, and moves on as soon as the reply
// is complete. `quillon --scan` and the Find Instruments window both run this object.

// One line to probe: a device path or a network URL.
struct ScanTarget
{
    QString binding;
    QString byId; // the device's stable /dev/serial/by-id/ name, where there is one
    int comPort = 0; // the COM port bound to it, 0 for none: how a failure names it
};

// An instrument that answered "*IDN?".
struct FoundInstrument
{
    QString binding; // the line it answered on
    QString byId;
    // None where the line's rate cannot be set from here (raw TCP): the server's rate.
    std::optional<qint32> baudRate;
    Framing::Protocol protocol = Framing::Protocol::Off; // plain, addressed or a packet
    int address = -1; // -1 when asked plain
    // The line end the line's messages want: the first of LF, CR and CR LF that drew an
    // answer. Empty when none could be tried (only packets answered).
    QByteArray terminator;
    QByteArray idn; // its answer, without terminator or prompt

    // "LF", "CR" or "CR LF"; empty for none.
    QString terminatorName() const;
};

class InstrumentScan : public QObject
{
    Q_OBJECT

public:
    // How late a reply may begin after its frame has gone out: the most an interface takes to
    // turn a message round, and so the longest any reply is waited for.
    static constexpr int LongestLatenessMs = 250;

    explicit InstrumentScan(QObject *parent = nullptr);
    ~InstrumentScan() override;

    // What a scan without arguments probes: the bindings of COM 1 to 4 and the USB serial
    // adapters of the system, each once.
    static QList<ScanTarget> defaultTargets();
    // The rates a line is tried at, in order: the port window's default first, then the others
    // as the window lists them.
    static QList<qint32> rates();
    // Why `binding` cannot be probed whatever is connected (a malformed URL), or nothing.
    static std::optional<QString> targetProblem(const QString &binding);

    // Starts probing `targets`; planned() comes first, finished() last, exactly once each.
    void start(const QList<ScanTarget> &targets);
    // Stops every probe and closes every line; finished(true) follows at once.
    void cancel();
    bool running() const;
    QList<FoundInstrument> found() const;

signals:
    // What will be probed, in order, before anything is opened.
    void planned(const QList<ScanTarget> &targets);
    // A target left out and why (busy, not permitted, no such device), in the operator's words.
    void skipped(const QString &binding, const QString &reason);
    void instrumentFound(const FoundInstrument &instrument);
    // "*IDN?", plain or addressed, drew an identity or the bare prompt at `baudRate` (none: the
    // rate cannot be set from here): the line's rate, at which its addresses are tried next.
    void lineAnswered(const QString &binding, std::optional<qint32> baudRate);
    // An identity came after every probe's wait, so that whose it is cannot be told; it is
    // shown under no address.
    void answeredLate(const QString &binding, const QByteArray &idn);
    // The line's rate cannot be set from here (raw TCP): it is probed once, at whatever rate
    // the server keeps.
    void rateFixed(const QString &binding);
    // Probes done out of all planned so far; the total can grow when a rate answers.
    void progress(int done, int total);
    void finished(bool cancelled);

private:
    class Private;
    Private *d;
};
