#include "windows/views/wireview.h"

#include "windows/artwork.h"
#include "windows/views/wiremodel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

WireView::WireView(WireModel *model, QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_model(model),
      m_table(new QTableView(this)),
      m_counts(new QLabel(this)),
      m_copy(new QPushButton(QStringLiteral("&Copy"), this))
{
    setWindowTitle(QStringLiteral("Quillon Wire View"));
    setWindowIcon(QuillonWindowIcon());
    setAccessibleName(QStringLiteral("Wire View"));
    setObjectName(QStringLiteral("wireView"));
    resize(1040, 480);

    m_table->setModel(model);
    m_table->setAccessibleName(QStringLiteral("Wire traffic"));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setWordWrap(false);
    m_table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Every row one line high, known without asking the cells: the view then lays out
    // 100,000 rows without measuring any of them.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->verticalHeader()->hide();
    QHeaderView *columns = m_table->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    const int digit = m_table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    columns->resizeSection(WireModel::TimeColumn, 11 * digit);
    columns->resizeSection(WireModel::PortColumn, 6 * digit);
    columns->resizeSection(WireModel::DirectionColumn, 6 * digit);
    columns->resizeSection(WireModel::SizeColumn, 8 * digit);
    columns->resizeSection(WireModel::HexColumn, 48 * digit);
    columns->resizeSection(WireModel::TextColumn, 24 * digit);
    columns->setStretchLastSection(true);

    m_copy->setToolTip(QStringLiteral("Copy the selected rows, whole, as transcript lines"));

    auto *copyAction = new QAction(QStringLiteral("&Copy"), m_table);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    // The table's own Ctrl+C would copy the current cell only, as the screen shortens it.
    m_table->installEventFilter(this);
    connect(copyAction, &QAction::triggered, this, &WireView::copySelection);
    m_table->addAction(copyAction);
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_copy, &QPushButton::clicked, this, &WireView::copySelection);

    auto *top = new QHBoxLayout;
    top->addWidget(m_counts, 1);
    top->addWidget(m_copy);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_table);

    // New rows scroll into view only while the newest row is in view, so reading older ones
    // is not interrupted.
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &WireView::beforeBatch);
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &WireView::beforeBatch);
    connect(model, &WireModel::batchAdded, this, &WireView::showCounts);
    connect(model, &WireModel::batchAdded, this, &WireView::afterBatch);
    showCounts(model->rowCount(), model->droppedCount());
}

bool WireView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table
            && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)
            && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        event->accept();
        if (event->type() == QEvent::KeyPress)
            copySelection();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// The model batches entries for the table only while someone looks at it.
void WireView::showEvent(QShowEvent *event)
{
    m_model->setShown(true);
    QWidget::showEvent(event);
}

void WireView::hideEvent(QHideEvent *event)
{
    m_model->setShown(false);
    QWidget::hideEvent(event);
}

void WireView::beforeBatch()
{
    // Asked once per batch: the rows dropped at the top move the bar before the new ones come.
    if (m_inBatch)
        return;
    m_inBatch = true;
    const QScrollBar *bar = m_table->verticalScrollBar();
    m_following = bar->value() == bar->maximum();
}

void WireView::afterBatch()
{
    m_inBatch = false;
    if (m_following && isVisible())
        m_table->scrollToBottom();
}

void WireView::showCounts(int rows, qsizetype dropped)
{
    const QLocale locale(QLocale::English);
    QString text = QStringLiteral("%1 entries").arg(locale.toString(rows));
    if (dropped > 0)
        text += QStringLiteral("; %1 older entries dropped (the newest %2 are kept)")
                        .arg(locale.toString(dropped), locale.toString(m_model->maxEntries()));
    m_counts->setText(text);
}

QString WireView::selectedText() const
{
    QList<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (int row : rows)
        lines << m_model->entryLine(row);
    return lines.join(QLatin1Char('\n'));
}

void WireView::copySelection()
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text + QLatin1Char('\n'));
}
