#pragma once

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
class QTableView;
QT_END_NAMESPACE

class WireModel;

// A window with the line's traffic as it happens: one row per frame written, chunk read, open,
// close and loss. It only shows; it touches no control of the other windows.
class WireView : public QWidget
{
    Q_OBJECT

public:
    explicit WireView(WireModel *model, QWidget *parent = nullptr);

    QTableView *table() const { return m_table; }
    // The selected rows as transcript lines, oldest first, one per line.
    QString selectedText() const;
    void copySelection();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showCounts(int rows, qsizetype dropped);
    void beforeBatch();
    void afterBatch();

    WireModel *m_model;
    QTableView *m_table;
    QLabel *m_counts;
    QPushButton *m_copy;
    bool m_following = true;
    bool m_inBatch = false;
};
