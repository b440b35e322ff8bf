#include "app/scanreport.h"

#include "line/linemessages.h"
#include "line/scan/identitysearch.h"
#include "line/scan/instrumentscan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <unistd.h>

namespace {

QString framingName(Framing::Protocol protocol)
{
    return QString::fromLatin1(WordsFor(protocol).reportWord);
}

// In the order they are tried.
QString triedRates()
{
    QStringList rates;
    for (const qint32 rate : InstrumentScan::rates())
        rates << QString::number(rate);
    return rates.mid(0, rates.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ")
            + rates.constLast();
}

// Columns as wide as their widest cell, two blanks apart; the last one as it is.
QString formatTable(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows)
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (widths.size() <= column)
                widths << 0;
            widths[column] = std::max(widths[column], row[column].size());
        }
    QString text;
    for (const QStringList &row : rows) {
        for (qsizetype column = 0; column + 1 < row.size(); ++column)
            text += row[column].leftJustified(widths[column] + 2);
        text += row.constLast() + QLatin1Char('\n');
    }
    return text;
}

QJsonObject toJson(const FoundInstrument &instrument)
{
    QJsonObject object;
    object.insert(QStringLiteral("port"), instrument.binding);
    object.insert(QStringLiteral("byId"),
            instrument.byId.isEmpty() ? QJsonValue() : QJsonValue(instrument.byId));
    object.insert(QStringLiteral("baud"),
            instrument.baudRate ? QJsonValue(*instrument.baudRate) : QJsonValue());
    object.insert(QStringLiteral("framing"), framingName(instrument.protocol));
    object.insert(QStringLiteral("address"),
            instrument.address >= 0 ? QJsonValue(instrument.address) : QJsonValue());
    object.insert(QStringLiteral("terminator"),
            instrument.terminator.isEmpty() ? QJsonValue()
                                            : QJsonValue(instrument.terminatorName()));
    object.insert(QStringLiteral("idn"), QString::fromLatin1(instrument.idn));
    return object;
}

} // namespace

int RunScan(const QStringList &targets, bool json, std::FILE *out, std::FILE *err)
{
    std::FILE *says = json ? err : out;
    const bool showProgress = ::isatty(::fileno(err)) != 0;
    const auto print = [](std::FILE *to, const QString &text) {
        std::fputs(text.toLocal8Bit().constData(), to);
        std::fflush(to);
    };

    QList<ScanTarget> toScan;
    if (targets.isEmpty())
        toScan = InstrumentScan::defaultTargets();
    for (const QString &target : targets)
        toScan << ScanTarget{target, {}};

    InstrumentScan scan;
    QList<ScanTarget> planned;
    QHash<QString, QString> skipped;
    QHash<QString, std::optional<qint32>> answeredAt;
    QList<std::pair<QString, QByteArray>> late;
    QObject::connect(&scan, &InstrumentScan::planned, [&](const QList<ScanTarget> &lines) {
        planned = lines;
        QString text = QStringLiteral("Probing %1 line%2 with *IDN?:\n")
                               .arg(lines.size())
                               .arg(lines.size() == 1 ? "" : "s");
        for (const ScanTarget &line : lines)
            text += QStringLiteral("  %1%2\n")
                            .arg(EscapeOutsideText(line.binding),
                                    line.comPort > 0
                                            ? QStringLiteral("  (COM %1)").arg(line.comPort)
                                            : QString());
        print(says, text);
    });
    QObject::connect(
            &scan, &InstrumentScan::skipped, [&](const QString &binding, const QString &reason) {
                skipped.insert(binding, reason);
                if (showProgress)
                    print(err, QStringLiteral("\r\033[K"));
                print(says,
                        QStringLiteral("Skipped %1: %2\n").arg(EscapeOutsideText(binding), reason));
            });
    QSet<QString> rateFixed;
    QObject::connect(&scan, &InstrumentScan::rateFixed,
            [&](const QString &binding) { rateFixed.insert(binding); });
    QObject::connect(&scan, &InstrumentScan::lineAnswered,
            [&](const QString &binding, std::optional<qint32> baudRate) {
                answeredAt.insert(binding, baudRate);
            });
    QObject::connect(&scan, &InstrumentScan::answeredLate,
            [&](const QString &binding, const QByteArray &idn) {
                late.append({binding, idn});
            });
    if (showProgress)
        QObject::connect(&scan, &InstrumentScan::progress, [&](int done, int total) {
            print(err, QStringLiteral("\r\033[Kscanning: %1 of %2 probes").arg(done).arg(total));
        });
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&scan, &InstrumentScan::finished, qApp, &QCoreApplication::quit);
    scan.start(toScan);
    if (scan.running())
        QCoreApplication::exec();
    if (showProgress)
        print(err, QStringLiteral("\r\033[K"));

    // In the order the lines were planned, each line's instruments as they answered.
    QList<FoundInstrument> found = scan.found();
    std::stable_sort(found.begin(), found.end(), [&](const auto &a, const auto &b) {
        const auto at = [&](const QString &binding) {
            return std::find_if(planned.cbegin(), planned.cend(),
                    [&](const ScanTarget &line) { return line.binding == binding; });
        };
        return at(a.binding) < at(b.binding);
    });

    if (json) {
        QJsonArray instruments;
        for (const FoundInstrument &instrument : std::as_const(found))
            instruments.append(toJson(instrument));
        print(out, QString::fromUtf8(QJsonDocument(instruments).toJson(QJsonDocument::Indented)));
    } else if (!found.isEmpty()) {
        QList<QStringList> rows = {{QStringLiteral("PORT"), QStringLiteral("BY-ID"),
                QStringLiteral("BAUD"), QStringLiteral("FRAMING"), QStringLiteral("ADDRESS"),
                QStringLiteral("TERMINATOR"), QStringLiteral("IDN")}};
        for (const FoundInstrument &instrument : std::as_const(found))
            rows << QStringList{EscapeOutsideText(instrument.binding),
                    instrument.byId.isEmpty() ? QStringLiteral("-")
                                              : EscapeOutsideText(instrument.byId),
                    instrument.baudRate ? QString::number(*instrument.baudRate)
                                        : QStringLiteral("server's"),
                    framingName(instrument.protocol),
                    instrument.address >= 0 ? QString::number(instrument.address)
                                            : QStringLiteral("-"),
                    instrument.terminator.isEmpty() ? QStringLiteral("-")
                                                    : instrument.terminatorName(),
                    EscapeOutsideText(QString::fromLatin1(instrument.idn))};
        print(out, QStringLiteral("\n") + formatTable(rows));
    }

    // Every line that gave nothing, and what it was asked; every answer that came too late.
    QString nothing;
    for (const auto &[binding, idn] : std::as_const(late))
        nothing += QStringLiteral("Late on %1: \"%2\" answered more than %3 ms after its "
                                  "probe and is shown under no address.\n")
                           .arg(EscapeOutsideText(binding),
                                   EscapeOutsideText(QString::fromLatin1(idn)))
                           .arg(InstrumentScan::LongestLatenessMs);
    for (const ScanTarget &line : std::as_const(planned)) {
        const bool answered
                = std::any_of(found.cbegin(), found.cend(), [&](const FoundInstrument &instrument) {
                      return instrument.binding == line.binding;
                  });
        if (answered || skipped.contains(line.binding))
            continue;
        const QString name = EscapeOutsideText(line.binding);
        if (const auto rate = answeredAt.constFind(line.binding); rate != answeredAt.cend())
            nothing += QStringLiteral("Nothing found on %1: it answered at %2, but neither "
                                      "plain nor at addresses %3 to %4, addressed or as a "
                                      "packet, with an identity.\n")
                               .arg(name, IdentitySearch::describeRate(*rate))
                               .arg(Wire::MinAddress)
                               .arg(Wire::MaxAddress);
        else
            nothing += QStringLiteral("Nothing found on %1: no answer to *IDN?, plain or "
                                      "addressed, at %2.\n")
                               .arg(name,
                                       rateFixed.contains(line.binding)
                                               ? QStringLiteral("the rate the server keeps")
                                               : triedRates() + QStringLiteral(" baud"));
    }
    if (!nothing.isEmpty())
        print(says, QStringLiteral("\n") + nothing);
    if (found.isEmpty())
        print(says,
                planned.size() == skipped.size()
                        ? QStringLiteral("No instrument found: no line could be probed.\n")
                        : QStringLiteral("No instrument found.\n"));
    print(says,
            QStringLiteral("Scan took %1 s.\n").arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
    return found.isEmpty() ? 1 : 0;
}
