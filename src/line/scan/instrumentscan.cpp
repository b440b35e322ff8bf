#include "line/scan/instrumentscan.h"

#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/scan/lineprobe.h"
#include "line/serialsettings.h"
#include "line/transport/transportregistry.h"

#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace {

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

QString FoundInstrument::terminatorName() const
{
    QStringList names;
    for (const char c : terminator)
        names << (c == Wire::CR ? QStringLiteral("CR") : QStringLiteral("LF"));
    return names.join(u' ');
}

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

QList<qint32> InstrumentScan::rates()
{
    const qint32 preferred = SerialSettings().baudRate;
    QList<qint32> rates{preferred};
    for (const char *offered : SerialSettings::Offered)
        if (const qint32 rate = SerialSettings::parse(QLatin1String(offered))->baudRate;
                rate != preferred)
            rates << rate;
    return rates;
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
