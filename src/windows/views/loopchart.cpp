#include "windows/views/loopchart.h"

#include "line/record/loopcsv.h"
#include "windows/artwork.h"
#include "windows/views/chartplot.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
// Often enough to look live, rarely enough that a 10 ms loop does not repaint 100 times a
// second.
constexpr int kRefreshMs = 100;

QString number(double v)
{
    return QString::number(v, 'g', 7);
}
} // namespace

LoopChart::LoopChart(LoopSeries *series, QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_series(series),
      m_plot(new ChartPlot(this)),
      m_figures(new QLabel(this)),
      m_pause(new QPushButton(QStringLiteral("&Pause"), this)),
      m_refresh(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Quillon Loop Chart"));
    setWindowIcon(QuillonWindowIcon());
    setAccessibleName(QStringLiteral("Loop Chart"));
    setObjectName(QStringLiteral("loopChart"));
    resize(760, 460);

    m_figures->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pause->setCheckable(true);
    m_pause->setAccessibleName(QStringLiteral("Pause Chart"));
    auto *saveCsvButton = new QPushButton(QStringLiteral("Save as &CSV..."), this);
    auto *savePngButton = new QPushButton(QStringLiteral("Save as P&NG..."), this);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_pause);
    buttons->addStretch(1);
    buttons->addWidget(saveCsvButton);
    buttons->addWidget(savePngButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_figures);
    layout->addWidget(m_plot, 1);
    layout->addLayout(buttons);

    m_refresh->setSingleShot(true);
    m_refresh->setInterval(kRefreshMs);
    connect(m_refresh, &QTimer::timeout, this, &LoopChart::refresh);
    connect(series, &LoopSeries::appended, this, &LoopChart::scheduleRefresh);
    // toggled, not clicked: the keyboard, accessibility's toggle and code all end up here.
    connect(m_pause, &QPushButton::toggled, this, &LoopChart::setPaused);
    connect(saveCsvButton, &QPushButton::clicked, this, &LoopChart::askSaveCsv);
    connect(savePngButton, &QPushButton::clicked, this, &LoopChart::askSavePng);
    refresh();
}

void LoopChart::setPaused(bool paused)
{
    if (m_pause->isChecked() != paused) {
        m_pause->setChecked(paused); // comes back here through toggled
        return;
    }
    m_paused = paused;
    m_pause->setText(paused ? QStringLiteral("&Resume") : QStringLiteral("&Pause"));
    m_pause->setAccessibleName(
            paused ? QStringLiteral("Resume Chart") : QStringLiteral("Pause Chart"));
    refresh();
}

void LoopChart::scheduleRefresh()
{
    if (!m_paused && !m_refresh->isActive())
        m_refresh->start();
}

void LoopChart::refresh()
{
    if (!m_paused) {
        m_shownCount = qsizetype(m_series->points().size());
        m_shownStats = m_series->stats();
    }
    m_plot->setPoints(m_series, m_shownCount);
    const QString text = figuresText();
    m_figures->setText(text);
    m_plot->setAccessibleDescription(text);
}

QString LoopChart::figuresText() const
{
    const LoopStats &s = m_shownStats;
    const QLocale locale(QLocale::English);
    QString text;
    if (s.numbers > 0)
        text = QStringLiteral("Last %1   Min %2   Mean %3   Max %4   ")
                       .arg(number(s.last), number(s.min), number(s.mean()), number(s.max));
    else
        text = QStringLiteral("No number yet   ");
    text += QStringLiteral("Replies %1   Not numbers %2")
                    .arg(locale.toString(s.points), locale.toString(s.notNumbers));
    if (m_series->droppedCount() > 0)
        text += QStringLiteral("   (%1 oldest dropped)")
                        .arg(locale.toString(m_series->droppedCount()));
    if (m_paused)
        text += QStringLiteral("   Paused");
    return text;
}

bool LoopChart::saveCsv(const QString &path, QString *error) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    // Row by row through the file's buffer: the whole text at once would take the memory of
    // every reply kept a second time.
    bool written = file.write(LoopCsv::header()) >= 0;
    for (auto it = m_series->readings().begin(); written && it != m_series->readings().end(); ++it)
        written = file.write(LoopCsv::row(*it)) >= 0;
    if (!written || !file.flush()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool LoopChart::savePng(const QString &path) const
{
    QPixmap image(
            qMax(m_figures->width(), m_plot->width()), m_figures->height() + m_plot->height());
    image.fill(palette().color(QPalette::Window));
    m_figures->render(&image);
    m_plot->render(&image, QPoint(0, m_figures->height()));
    return image.save(path, "PNG");
}

void LoopChart::askSaveCsv()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the loop values"),
            QStringLiteral("loop.csv"), QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!saveCsv(path, &error))
        QMessageBox::warning(
                this, windowTitle(), QStringLiteral("Could not write %1: %2").arg(path, error));
}

void LoopChart::askSavePng()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the chart"),
            QStringLiteral("loop.png"), QStringLiteral("PNG images (*.png);;All files (*)"));
    if (path.isEmpty())
        return;
    if (!savePng(path))
        QMessageBox::warning(
                this, windowTitle(), QStringLiteral("Could not write the image to %1.").arg(path));
}
