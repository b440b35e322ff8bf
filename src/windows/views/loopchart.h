#pragma once

#include "windows/views/loopseries.h"

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
class QTimer;
QT_END_NAMESPACE

class ChartPlot;

// A window that plots each loop reply's value against the time it came, with the last,
// minimum, mean and maximum. It only shows; it touches no control of the other windows.
class LoopChart : public QWidget
{
    Q_OBJECT

public:
    explicit LoopChart(LoopSeries *series, QWidget *parent = nullptr);

    // Paused, the plot and figures stay as they were; replies are still kept.
    void setPaused(bool paused);
    bool paused() const { return m_paused; }
    // Every reply kept, as the --csv file has them; false with `error` set when not written.
    bool saveCsv(const QString &path, QString *error = nullptr) const;
    // The plot with its figures, as the window shows it.
    bool savePng(const QString &path) const;
    QString figuresText() const;
    ChartPlot *plot() const { return m_plot; }

private:
    void refresh();
    void scheduleRefresh();
    void askSaveCsv();
    void askSavePng();

    LoopSeries *m_series;
    ChartPlot *m_plot;
    QLabel *m_figures;
    QPushButton *m_pause;
    QTimer *m_refresh;
    bool m_paused = false;
    qsizetype m_shownCount = 0;
    LoopStats m_shownStats;
};
