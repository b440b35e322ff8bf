#include "windows/views/chartplot.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

std::vector<PlotColumn> DecimateToColumns(
        std::span<const PlotPoint> points, double x0, double x1, int width)
{
    std::vector<PlotColumn> columns(size_t(qMax(width, 0)));
    if (width <= 0 || !(x1 >= x0))
        return columns;
    const double span = x1 > x0 ? x1 - x0 : 1.0;
    int previous = -1; // the last column that got a number
    bool gap = false; // a NaN since that number
    for (const PlotPoint &p : points) {
        if (p.x < x0 || p.x > x1)
            continue;
        if (std::isnan(p.y)) {
            gap = true;
            continue;
        }
        const int c = qMin(width - 1, int((p.x - x0) / span * width));
        PlotColumn &column = columns[size_t(c)];
        if (!column.present) {
            column.present = true;
            column.joinsPrevious = previous >= 0 && !gap;
            column.first = column.min = column.max = p.y;
        }
        // A gap inside one column does not show: both sides of it lie at the same x.
        column.last = p.y;
        column.min = std::min(column.min, p.y);
        column.max = std::max(column.max, p.y);
        previous = c;
        gap = false;
    }
    return columns;
}

namespace {

// Round steps (1, 2, 5 times a power of ten) that give about `wanted` ticks over the range.
double niceStep(double range, int wanted)
{
    if (!(range > 0))
        return 1;
    const double raw = range / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

} // namespace

ChartPlot::ChartPlot(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Chart of loop values"));
}

void ChartPlot::setPoints(const LoopSeries *series, qsizetype count)
{
    m_series = series;
    m_count = count;
    update();
}

void ChartPlot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QFontMetrics metrics = fontMetrics();
    const int left = metrics.horizontalAdvance(QStringLiteral("-0.000000e+00")) + 8;
    const int bottom = metrics.height() + 10;
    const QRect area(left, 8, qMax(1, width() - left - 16), qMax(1, height() - 8 - bottom));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area.adjusted(0, 0, -1, -1));

    const std::span<const PlotPoint> points = m_series
            ? std::span<const PlotPoint>(m_series->points().data(), size_t(m_count))
            : std::span<const PlotPoint>();
    if (points.empty()) {
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(area, Qt::AlignCenter,
                QStringLiteral("No loop replies yet: start the IDN or Command loop."));
        return;
    }

    const double x0 = points.front().x;
    const double x1 = qMax(points.back().x, x0 + 1.0);
    const std::vector<PlotColumn> columns = DecimateToColumns(points, x0, x1, area.width());
    double low = 0, high = 0;
    bool any = false;
    for (const PlotColumn &c : columns) {
        if (!c.present)
            continue;
        low = any ? std::min(low, c.min) : c.min;
        high = any ? std::max(high, c.max) : c.max;
        any = true;
    }
    if (!any) {
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(area, Qt::AlignCenter, QStringLiteral("No reply was a number."));
        return;
    }
    const double pad = high > low ? (high - low) * 0.05 : qMax(std::abs(high) * 0.1, 1.0);
    low -= pad;
    high += pad;
    auto yOf = [&](double v) { return area.bottom() - (v - low) / (high - low) * area.height(); };
    auto xOf = [&](double x) { return area.left() + (x - x0) / (x1 - x0) * area.width(); };

    // Grid and labels.
    painter.setPen(palette().color(QPalette::Text));
    const double yStep = niceStep(high - low, 6);
    const double firstLine = std::ceil(low / yStep) * yStep;
    for (int line = 0; firstLine + line * yStep <= high; ++line) {
        const double v = firstLine + line * yStep;
        const double y = yOf(v);
        painter.setPen(QColor(0xdd, 0xdd, 0xdd));
        painter.drawLine(QPointF(area.left() + 1, y), QPointF(area.right() - 1, y));
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(QRectF(0, y - metrics.height() / 2.0, left - 6, metrics.height()),
                Qt::AlignRight | Qt::AlignVCenter,
                QString::number(std::abs(v) < yStep / 1e6 ? 0.0 : v, 'g', 6));
    }
    const double xStep = niceStep((x1 - x0) / 1000.0, 6);
    for (double s = std::ceil(x0 / 1000.0 / xStep) * xStep; s * 1000.0 <= x1; s += xStep) {
        const double x = xOf(s * 1000.0);
        painter.setPen(QColor(0xdd, 0xdd, 0xdd));
        painter.drawLine(QPointF(x, area.top() + 1), QPointF(x, area.bottom() - 1));
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(QRectF(x - 50, area.bottom() + 4, 100, metrics.height()),
                Qt::AlignHCenter | Qt::AlignTop, QString::number(s, 'g', 6) + QStringLiteral(" s"));
    }

    // The values: each column's range as one stroke, joined to its neighbour where no gap is.
    // Whether the next column with numbers joins each one, found from the right in one pass.
    std::vector<bool> joinsNext(columns.size(), false);
    bool nextJoins = false;
    for (size_t i = columns.size(); i-- > 0;) {
        joinsNext[i] = nextJoins;
        if (columns[i].present)
            nextJoins = columns[i].joinsPrevious;
    }
    // One polyline per stretch without a gap, drawn with a one-pixel cosmetic pen: the
    // rasteriser then walks the segments directly instead of stroking an outline of them, which
    // at a few thousand segments is what keeps a repaint within a frame.
    std::vector<QPolygonF> runs;
    QPainterPath dots;
    for (size_t i = 0; i < columns.size(); ++i) {
        const PlotColumn &c = columns[i];
        if (!c.present)
            continue;
        const double x = area.left() + double(i) + 0.5;
        if (!c.joinsPrevious || runs.empty())
            runs.emplace_back();
        QPolygonF &run = runs.back();
        run << QPointF(x, yOf(c.first));
        if (c.max > c.min)
            run << QPointF(x, yOf(c.min)) << QPointF(x, yOf(c.max)) << QPointF(x, yOf(c.last));
        // A number with a gap on both sides would be invisible as a line of no length.
        if (!c.joinsPrevious && !joinsNext[i])
            dots.addEllipse(QPointF(x, yOf(c.last)), 2.5, 2.5);
    }
    painter.setClipRect(area.adjusted(1, 1, -1, -1));
    painter.setRenderHint(QPainter::Antialiasing, false);
    QPen line(QColor(0x1f, 0x5f, 0xb0), 1);
    line.setCosmetic(true);
    painter.setPen(line);
    for (const QPolygonF &run : runs)
        painter.drawPolyline(run);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setBrush(QColor(0x1f, 0x5f, 0xb0));
    painter.drawPath(dots);
}
