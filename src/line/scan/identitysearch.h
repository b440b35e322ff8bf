#pragma once

#include "line/linemessages.h"
#include "line/port/identityresolver.h"
#include "line/scan/instrumentscan.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

// Finding the instrument that a binding by identity (idn:PATTERN) names: the lines a scan
// probes are probed as a scan does, and each answer to "*IDN?" is held against the pattern, a
// glob in which * stands for any run of characters, ? for any one and [...] for one of a set.
//
// A search that names no line, or more than one, opens nothing: the operator has to know
// which instrument the commands go to.
class IdentitySearch : public QObject, public IdentityResolver
{
    Q_OBJECT

public:
    // A bound of its own, past the scan's, for a search whose scan never finishes.
    static constexpr int LongestSearchMs = 120000;

    explicit IdentitySearch(QObject *parent = nullptr);
    ~IdentitySearch() override;

    static bool matches(const QString &pattern, const QByteArray &idn);
    // The instruments in `found` whose answer matches, one for each line in the order of their
    // names: a line that answered in several framings or at several addresses is listed once,
    // as first found.
    static QList<FoundInstrument> matching(
            const QString &pattern, const QList<FoundInstrument> &found);
    // Why COM `comPort`, bound to `binding`, opens none of `matched`: none or several.
    static LineFailure failureFor(
            int comPort, const QString &binding, const QList<FoundInstrument> &matched);
    // "9600 baud", or for none, a raw network line's: "the server's rate".
    static QString describeRate(std::optional<qint32> baudRate);
    // "PATH (IDN at BAUD baud)" for each, joined, every outside text escaped.
    static QString describe(const QList<FoundInstrument> &instruments);

    // Probes what a scan without arguments does; finished() follows with every instrument found.
    void start();
    bool running() const;

    // The one line whose instrument matches the pattern `address` holds, searched for as
    // start() does; `done` follows once the search has ended or run past its bound.
    void resolve(int comPort, const LineAddress &address,
            std::function<void(const Result &)> done) override;
    void cancel() override;

signals:
    void finished(const QList<FoundInstrument> &found);

private:
    InstrumentScan *m_scan = nullptr;
    QTimer m_bound; // LongestSearchMs, for resolve()
    std::function<void(const QList<FoundInstrument> &)> m_resolving;
};
