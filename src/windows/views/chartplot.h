#pragma once

#include "windows/views/loopseries.h"

#include <QWidget>

#include <span>
#include <vector>

// What falls into one pixel column of the plot: drawing the lowest and highest value of each
// column shows every spike of 100,000 points in a few hundred strokes.
struct PlotColumn
{
    bool present = false; // a number fell into this column
    bool joinsPrevious = false; // no gap between this column and the previous one with numbers
    double first = 0;
    double last = 0;
    double min = 0;
    double max = 0;
};

// `points` in ascending x, binned into `width` columns spanning [x0, x1]. A NaN y is a gap: the
// line does not join across it. Points outside [x0, x1] are left out.
std::vector<PlotColumn> DecimateToColumns(
        std::span<const PlotPoint> points, double x0, double x1, int width);

// The plot area of the loop chart: values against seconds since the start, with axes.
class ChartPlot : public QWidget
{
    Q_OBJECT

public:
    explicit ChartPlot(QWidget *parent = nullptr);

    // Shows the first `count` points of `series`; the chart passes fewer while paused.
    void setPoints(const LoopSeries *series, qsizetype count);

    QSize sizeHint() const override { return {720, 360}; }
    QSize minimumSizeHint() const override { return {240, 140}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const LoopSeries *m_series = nullptr;
    qsizetype m_count = 0;
};
