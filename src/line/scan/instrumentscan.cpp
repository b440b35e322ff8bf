#include "line/scan/instrumentscan.h"

#include "line/exchange/linewait.h"
#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/serialsettings.h"
#include "line/transport/linetransport.h"
#include "line/transport/transportregistry.h"
#include "protocol/numericvalue.h"
#include "protocol/replyreading.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

const QByteArray kQuery = QByteArrayLiteral("*IDN?");
// How long a reply may take to begin. A plain probe gives the interface the most it takes to
// turn a message round. At the rate found, the addresses get a few times what the plain reply
// took, within bounds: an address with nobody behind it costs that and no more.
constexpr int kMaxTurnaroundMs = 250;
constexpr int kMinTurnaroundMs = 40;
constexpr int kTurnaroundFactor = 3;
constexpr int kTurnaroundSlackMs = 25;
// A reply to "*IDN?" rarely passes this; once it has begun, the wait for its end is the time
// it takes on the line, with a little slack for gaps between bytes.
constexpr int kReplyBytes = 100;
constexpr int kBitsPerByte = 10; // start, eight data bits, stop
constexpr int kByteGapSlackMs = 20;
// However slow the rate, a reply has this long to come whole once it has begun.
constexpr int kMaxReplyWaitMs = 1000;
// A probe keeps at most this much of what comes back; the rest is read and dropped.
constexpr qsizetype kReplyCapBytes = 4096;

int replyWaitMs(qint32 baudRate)
{
    return int(std::min<qint64>(kMaxReplyWaitMs,
            qint64(kReplyBytes) * kBitsPerByte * 1000 / std::max(baudRate, 1) + kByteGapSlackMs));
}

// "*IDN?" is answered with four fields, maker, model, serial number and firmware, separated by
// commas and in printable characters (Latin-1's too: a maker's name may have an umlaut): what
// garbage at a wrong rate never looks like.
bool isIdentity(const QByteArray &text)
{
    return text.count(',') >= 3 && std::all_of(text.cbegin(), text.cend(), [](char c) {
        const auto code = static_cast<unsigned char>(c);
        return (code >= 0x20 && code < 0x7F) || code >= 0xA0;
    });
}

// The interface's prompt and nothing but line ends: the interface understood the message even
// though no instrument answered it plainly. Any other text could be garbage at a wrong rate
// that happens to look printable.
bool isBarePrompt(const QByteArray &reply)
{
    return reply.contains(Wire::Prompt) && std::all_of(reply.cbegin(), reply.cend(), [](char c) {
        return c == Wire::Prompt || c == Wire::CR || c == Wire::LF;
    });
}

QByteArray addressCharacters(int address)
{
    return EncodeAddress(QString::number(address)).devAddr.toLatin1();
}

QString canonicalBinding(const QString &binding)
{
    if (ParseLineAddress(binding).kind->scheme.isEmpty()) {
        QString path = QFileInfo(binding).canonicalFilePath();
        if (!path.isEmpty())
            return path;
    }
    return binding;
}

// One device reached by two names (COM 1's binding and the adapter it names, a link) would be
// opened twice, and the second open refused.
QList<ScanTarget> eachOnce(const QList<ScanTarget> &targets)
{
    QSet<QString> seen;
    QList<ScanTarget> once;
    for (const ScanTarget &target : targets) {
        const QString device = canonicalBinding(target.binding);
        if (!seen.contains(device)) {
            seen.insert(device);
            once << target;
        }
    }
    return once;
}

} // namespace

// One "*IDN?" to try on a line: its rate, framing and address. Outside the anonymous
// namespace, as the probing objects that hold it are.
struct ScanProbe
{
    qint32 baudRate = 9600;
    Framing framing;
    int address = -1;
};

// One line, probed by itself: open once, then one probe after another, each a write and a wait
// that ends with a complete reply or with the time a reply at that rate needs.
class LineProbe : public QObject
{
public:
    // `progressed` runs after every probe and once the line is done.
    LineProbe(const ScanTarget &target, InstrumentScan *scan, std::function<void()> progressed);
    ~LineProbe() override;

    void start();
    // Ends at once, without another word: the scan was cancelled.
    void stop();
    bool done() const { return m_done; }
    int probesDone() const { return m_probesDone; }
    int probesPlanned() const
    {
        return m_probesDone + int(m_queue.size()) + (m_waiting ? 1 : 0)
                + (m_opened || m_done ? 0 : int(SerialSettings::Offered.size()));
    }

private:
    void opened(bool ok);
    void nextProbe();
    void arrived();
    // The reply is complete once its end has come, and whatever follows that end (a prompt)
    // has had a moment to come too.
    bool replyEnded() const;
    void finishProbe(bool complete);
    void finish();

    ScanTarget m_target;
    InstrumentScan *m_scan;
    std::function<void()> m_progressed;
    LineTransport *m_line = nullptr;
    QTimer m_wait;
    QList<ScanProbe> m_queue;
    ScanProbe m_probe;
    qint32 m_lineRate = 0;
    bool m_opened = false;
    bool m_rateSettable = true;
    bool m_waiting = false;
    bool m_replyBegun = false; // its first byte has come: the wait is for the rest
    QElapsedTimer m_sent; // since the probe went out
    int m_beganAfterMs = 0;
    int m_turnaroundMs = kMaxTurnaroundMs;
    bool m_ending = false; // the reply has ended; what trails it is being waited for
    bool m_done = false;
    int m_probesDone = 0;
    QByteArray m_received;
};

class InstrumentScan::Private
{
public:
    explicit Private(InstrumentScan *q) : q(q) { }

    void progressed();

    InstrumentScan *q;
    std::vector<std::unique_ptr<LineProbe>> lines;
    QList<FoundInstrument> found;
    bool running = false;
};

LineProbe::LineProbe(
        const ScanTarget &target, InstrumentScan *scan, std::function<void()> progressed)
    : m_target(target), m_scan(scan), m_progressed(std::move(progressed))
{
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, [this] { finishProbe(m_ending); });
}

LineProbe::~LineProbe()
{
    stop();
}

void LineProbe::stop()
{
    m_done = true;
    m_waiting = false;
    m_wait.stop();
    if (m_line) {
        m_line->disconnect(this);
        m_line->close();
    }
}

void LineProbe::start()
{
    if (const auto problem = InstrumentScan::targetProblem(m_target.binding)) {
        emit m_scan->skipped(m_target.binding, *problem);
        finish();
        return;
    }
    m_line = CreateLineTransport(m_target.comPort, ParseLineAddress(m_target.binding), this);
    connect(m_line, &LineTransport::openFinished, this, &LineProbe::opened);
    connect(m_line, &QIODevice::readyRead, this, &LineProbe::arrived);
    connect(m_line, &LineTransport::lost, this, [this] {
        emit m_scan->skipped(
                m_target.binding, QStringLiteral("The device went away while it was probed."));
        m_queue.clear();
        if (m_waiting)
            finishProbe(false);
        else
            finish();
    });
    const SerialSettings first = *SerialSettings::parse(QLatin1String(SerialSettings::Offered[0]));
    m_lineRate = first.baudRate;
    m_line->startOpen(first);
}

void LineProbe::opened(bool ok)
{
    if (!ok) {
        emit m_scan->skipped(m_target.binding, DescribeOpenFailureReason(m_line->openFailure()));
        m_line->deleteLater();
        m_line = nullptr;
        finish();
        return;
    }
    m_opened = true;
    // A line that says at once that its settings did not reach the far end (raw TCP) cannot
    // have its rate tried: whatever answers, answers at the server's rate.
    m_rateSettable = m_line->openNotice().isEmpty();
    if (!m_rateSettable)
        emit m_scan->rateFixed(m_target.binding);
    for (const char *offered : SerialSettings::Offered) {
        ScanProbe probe;
        probe.baudRate = SerialSettings::parse(QLatin1String(offered))->baudRate;
        m_queue << probe;
        if (!m_rateSettable)
            break;
    }
    m_progressed(); // fewer probes on a line without a settable rate
    nextProbe();
}

void LineProbe::nextProbe()
{
    if (m_queue.isEmpty()) {
        finish();
        return;
    }
    m_probe = m_queue.takeFirst();
    if (m_rateSettable && m_probe.baudRate != m_lineRate) {
        SerialSettings settings;
        settings.baudRate = m_probe.baudRate;
        if (!m_line->applySettings(settings)) {
            // Opening it again for this rate could reset the device: the rest is left alone.
            emit m_scan->skipped(m_target.binding,
                    QStringLiteral("Its rate cannot be set to %1 baud while it is open; the "
                                   "rates from there on were not tried.")
                            .arg(m_probe.baudRate));
            m_queue.clear();
            finish();
            return;
        }
        m_lineRate = m_probe.baudRate;
    }
    // Whatever came late for the probe before would be taken for this one's reply.
    while (m_line->bytesAvailable() > 0)
        m_line->read(kReplyCapBytes);
    m_received.clear();
    m_ending = false;
    m_replyBegun = false;
    m_waiting = true;
    m_line->write(m_probe.framing.frame(kQuery));
    m_line->startTransfer();
    m_wait.start(m_turnaroundMs);
    m_sent.start();
}

void LineProbe::arrived()
{
    while (m_line && m_line->bytesAvailable() > 0) {
        const QByteArray bytes = m_line->read(kReplyCapBytes);
        if (bytes.isEmpty())
            break;
        if (m_waiting)
            m_received += bytes.left(kReplyCapBytes - m_received.size());
    }
    if (!m_waiting || m_received.isEmpty())
        return;
    if (!m_replyBegun) {
        m_replyBegun = true;
        m_beganAfterMs = int(m_sent.elapsed());
        m_wait.start(replyWaitMs(m_probe.baudRate));
    }
    if (m_received.contains(Wire::Prompt) && (m_ending || replyEnded())) {
        finishProbe(true);
    } else if (!m_ending && replyEnded()) {
        // The prompt usually comes with the reply; a device without one gets a moment more.
        m_ending = true;
        m_wait.start(int(LineWait::SettleSeconds * 1000));
    } else if (m_received.size() >= kReplyCapBytes) {
        finishProbe(false);
    }
}

bool LineProbe::replyEnded() const
{
    if (m_probe.framing.protocol == Framing::Protocol::Packet) {
        const ReplyPacket packet = CheckReplyPacket(m_received);
        if (packet.kind != ReplyPacket::Kind::None)
            return packet.checksumPresent;
    }
    return m_received.contains(m_probe.framing.terminator()) || m_received.contains(Wire::Prompt);
}

void LineProbe::finishProbe(bool complete)
{
    if (!m_waiting)
        return;
    m_waiting = false;
    m_wait.stop();
    ++m_probesDone;

    const ReplyReading reading = ReadReply(m_received, m_probe.framing.protocol);
    const QByteArray identity
            = reading.trusted(m_probe.framing.protocol) ? reading.text : QByteArray();
    const bool identified = complete && isIdentity(identity);
    if (identified) {
        FoundInstrument instrument;
        instrument.binding = m_target.binding;
        instrument.byId = m_target.byId;
        instrument.baudRate = m_rateSettable ? m_probe.baudRate : 0;
        instrument.protocol = m_probe.framing.protocol;
        instrument.address = m_probe.address;
        instrument.idn = identity;
        emit m_scan->instrumentFound(instrument);
    }
    // The first rate at which plain "*IDN?" gets an identity or the bare prompt is the line's:
    // its other rates are left, and the addresses are tried at this one.
    if (m_probe.address < 0 && (identified || (complete && isBarePrompt(m_received)))) {
        emit m_scan->lineAnswered(m_target.binding, m_rateSettable ? m_probe.baudRate : 0);
        m_turnaroundMs = std::clamp(kTurnaroundFactor * m_beganAfterMs + kTurnaroundSlackMs,
                kMinTurnaroundMs, kMaxTurnaroundMs);
        m_queue.clear();
        for (int address = Wire::MinAddress; address <= Wire::MaxAddress; ++address) {
            for (auto protocol : {Framing::Protocol::Addr, Framing::Protocol::Packet}) {
                ScanProbe probe = m_probe;
                probe.framing.protocol = protocol;
                probe.framing.address = addressCharacters(address);
                probe.address = address;
                m_queue << probe;
            }
        }
    }
    m_progressed();
    nextProbe();
}

void LineProbe::finish()
{
    if (m_done)
        return;
    m_done = true;
    m_waiting = false;
    m_wait.stop();
    if (m_line)
        m_line->close();
    m_progressed();
}

void InstrumentScan::Private::progressed()
{
    int done = 0, planned = 0;
    bool allDone = true;
    for (const auto &line : lines) {
        done += line->probesDone();
        planned += line->probesPlanned();
        allDone = allDone && line->done();
    }
    if (!running)
        return;
    emit q->progress(done, planned);
    if (!allDone)
        return;
    running = false;
    // Later: the last line may be ending inside one of its own transport's signals.
    QTimer::singleShot(0, q, [this] { emit q->finished(false); });
}

InstrumentScan::InstrumentScan(QObject *parent) : QObject(parent), d(new Private(this))
{
    connect(this, &InstrumentScan::instrumentFound, this,
            [this](const FoundInstrument &instrument) { d->found << instrument; });
}

InstrumentScan::~InstrumentScan()
{
    d->running = false;
    d->lines.clear();
    delete d;
}

QList<ScanTarget> InstrumentScan::defaultTargets()
{
    const QList<SerialPortEntry> ports = SystemSerialPorts();
    QHash<QString, QString> byId;
    for (const SerialPortEntry &port : ports)
        if (!port.byId.isEmpty())
            byId.insert(canonicalBinding(port.device), port.byId);
    QList<ScanTarget> targets;
    for (int n = 1; n <= Wire::ComPorts; ++n) {
        const QString binding = DevicePathForComPort(n);
        // A binding by identity names no line: its instrument answers on one of the others.
        if (!ParseLineAddress(binding).kind->create)
            continue;
        targets << ScanTarget{binding, byId.value(canonicalBinding(binding)), n};
    }
    // The system lists every serial driver's lines, most of them with nothing behind; an
    // adapter on USB is one that was plugged in.
    for (const SerialPortEntry &port : ports)
        if (port.vendorId)
            targets << ScanTarget{port.device, port.byId};
    return eachOnce(targets);
}

std::optional<QString> InstrumentScan::targetProblem(const QString &binding)
{
    const LineAddress address = ParseLineAddress(binding);
    if (!address.problem && !address.kind->create)
        return QStringLiteral("Bound by identity: the instrument it names answers on another "
                              "line.");
    if (!address.problem)
        return std::nullopt;
    LineFailure failure;
    failure.error = *address.problem;
    failure.detail = address.problemDetail;
    return DescribeOpenFailureReason(failure);
}

void InstrumentScan::start(const QList<ScanTarget> &targets)
{
    cancel();
    d->lines.clear();
    d->found.clear();
    const QList<ScanTarget> toProbe = eachOnce(targets);
    emit planned(toProbe);
    d->running = true;
    for (const ScanTarget &target : std::as_const(toProbe))
        d->lines.push_back(std::make_unique<LineProbe>(target, this, [this] { d->progressed(); }));
    if (d->lines.empty()) {
        d->progressed();
        return;
    }
    for (const auto &line : d->lines)
        if (d->running)
            line->start();
}

void InstrumentScan::cancel()
{
    if (!d->running)
        return;
    d->running = false;
    for (auto &line : d->lines) {
        line->stop();
        line.release()->deleteLater(); // this may run inside one of the line's own signals
    }
    d->lines.clear();
    emit finished(true);
}

bool InstrumentScan::running() const
{
    return d->running;
}

QList<FoundInstrument> InstrumentScan::found() const
{
    return d->found;
}
