#include "line/scan/identitysearch.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <utility>

IdentitySearch::IdentitySearch(QObject *parent) : QObject(parent)
{
    m_bound.setSingleShot(true);
    connect(&m_bound, &QTimer::timeout, this, [this] {
        // Past its bound: what was found so far is all there is.
        const QList<FoundInstrument> found = m_scan ? m_scan->found() : QList<FoundInstrument>();
        cancel();
        emit finished(found);
    });
    connect(this, &IdentitySearch::finished, this, [this](const QList<FoundInstrument> &found) {
        m_bound.stop();
        if (auto done = std::exchange(m_resolving, nullptr))
            done(found);
    });
}

IdentitySearch::~IdentitySearch()
{
    IdentitySearch::cancel();
}

namespace {

// Qt's own conversion treats the text as a path before 6.6, where * stops at "/": an answer is
// no path, and "/" in it is a character like any other. [!...] is a set negated, as in a shell;
// a [ that no ] closes stands for itself.
QString globToExpression(const QString &pattern)
{
    QString expression = QStringLiteral("\\A(?:");
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == u'*') {
            expression += QStringLiteral(".*");
        } else if (c == u'?') {
            expression += u'.';
        } else if (c == u'[') {
            qsizetype end = i + 1;
            if (end < pattern.size() && pattern.at(end) == u'!')
                ++end;
            if (end < pattern.size() && pattern.at(end) == u']')
                ++end; // a ] first in the set is one of its characters
            end = pattern.indexOf(u']', end);
            if (end < 0) {
                expression += QStringLiteral("\\[");
                continue;
            }
            QString set = pattern.mid(i + 1, end - i - 1);
            const bool negated = set.startsWith(u'!');
            if (negated)
                set.remove(0, 1);
            set.replace(u'\\', QStringLiteral("\\\\")).replace(u'[', QStringLiteral("\\["));
            set.replace(u']', QStringLiteral("\\]"));
            expression += (negated ? QStringLiteral("[^") : QStringLiteral("[")) + set + u']';
            i = end;
        } else {
            expression += QRegularExpression::escape(QString(c));
        }
    }
    return expression + QStringLiteral(")\\z");
}

} // namespace

LineFailure IdentitySearch::failureFor(
        int comPort, const QString &binding, const QList<FoundInstrument> &matched)
{
    LineFailure why;
    why.error = matched.isEmpty() ? LineError::NoInstrumentMatches
                                  : LineError::SeveralInstrumentsMatch;
    why.comPort = comPort;
    why.binding = binding;
    why.detail = describe(matched);
    return why;
}

QString IdentitySearch::describeRate(std::optional<qint32> baudRate)
{
    return baudRate ? QStringLiteral("%1 baud").arg(*baudRate)
                    : QStringLiteral("the server's rate");
}

bool IdentitySearch::matches(const QString &pattern, const QByteArray &idn)
{
    const QRegularExpression glob(
            globToExpression(pattern), QRegularExpression::DotMatchesEverythingOption);
    return glob.isValid() && glob.match(QString::fromLatin1(idn)).hasMatch();
}

QList<FoundInstrument> IdentitySearch::matching(
        const QString &pattern, const QList<FoundInstrument> &found)
{
    QList<FoundInstrument> matched;
    QSet<QString> lines;
    for (const FoundInstrument &instrument : found) {
        if (!matches(pattern, instrument.idn) || lines.contains(instrument.binding))
            continue;
        lines.insert(instrument.binding);
        matched << instrument;
    }
    // Probed side by side, the lines answer in any order; they are told in one.
    std::sort(
            matched.begin(), matched.end(), [](const FoundInstrument &a, const FoundInstrument &b) {
                return a.binding < b.binding;
            });
    return matched;
}

QString IdentitySearch::describe(const QList<FoundInstrument> &instruments)
{
    QStringList each;
    for (const FoundInstrument &instrument : instruments)
        each << QStringLiteral("%1 (%2 at %3)")
                        .arg(EscapeOutsideText(instrument.binding),
                                EscapeOutsideText(QString::fromLatin1(instrument.idn)),
                                describeRate(instrument.baudRate));
    return each.join(QStringLiteral("; "));
}

void IdentitySearch::start()
{
    if (m_scan) { // a search under way makes way for this one
        InstrumentScan *scan = std::exchange(m_scan, nullptr);
        scan->disconnect(this);
        scan->cancel();
        scan->deleteLater();
    }
    m_scan = new InstrumentScan(this);
    connect(m_scan, &InstrumentScan::finished, this, [this, scan = m_scan] {
        const QList<FoundInstrument> found = scan->found();
        if (m_scan == scan)
            m_scan = nullptr;
        scan->deleteLater();
        emit finished(found);
    });
    m_scan->start(InstrumentScan::defaultTargets());
}

void IdentitySearch::cancel()
{
    m_bound.stop();
    m_resolving = nullptr;
    if (!m_scan)
        return;
    InstrumentScan *scan = m_scan;
    m_scan = nullptr;
    scan->disconnect(this);
    scan->cancel();
    scan->deleteLater();
}

bool IdentitySearch::running() const
{
    return m_scan != nullptr;
}

void IdentitySearch::resolve(
        int comPort, const LineAddress &address, std::function<void(const Result &)> done)
{
    cancel();
    m_resolving = [comPort, address, done = std::move(done)](const QList<FoundInstrument> &found) {
        const QList<FoundInstrument> matched = matching(address.identityPattern, found);
        Result result;
        if (matched.size() == 1) {
            result.line = matched.first().binding;
            result.found = describe(matched);
        } else {
            result.failure = failureFor(comPort, address.binding, matched);
        }
        done(result);
    };
    m_bound.start(LongestSearchMs);
    start();
}
