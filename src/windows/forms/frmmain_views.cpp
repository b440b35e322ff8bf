// The wire view, the loop chart and Find Instruments: opened from the context menu or their
// shortcuts, the first two also from the command line and fed from the start of the run.

#include "line/port/serialcontrol.h"
#include "line/record/linerecorder.h"
#include "windows/forms/frmmain.h"
#include "windows/views/findinstruments.h"
#include "windows/views/historymemory.h"
#include "windows/views/loopchart.h"
#include "windows/views/loopseries.h"
#include "windows/views/sharewindow.h"
#include "windows/views/wiremodel.h"
#include "windows/views/wireview.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>

void frmMain::setUpViews()
{
    m_wireModel = new WireModel(this);
    m_wireModel->follow(m_recorder);
    m_loopSeries = new LoopSeries(this);
    m_loopSeries->follow(m_recorder);
    // Ctrl+Shift: no control of this window uses those, and a plain Ctrl+letter could be taken
    // by the command box's editing keys.
    m_wireAction = new QAction(QStringLiteral("&Wire View"), this);
    m_wireAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W));
    m_wireAction->setShortcutVisibleInContextMenu(true);
    connect(m_wireAction, &QAction::triggered, this, &frmMain::showWireView);
    m_chartAction = new QAction(QStringLiteral("Loop &Chart"), this);
    m_chartAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    m_chartAction->setShortcutVisibleInContextMenu(true);
    connect(m_chartAction, &QAction::triggered, this, &frmMain::showLoopChart);
    m_findAction = new QAction(QStringLiteral("&Find Instruments…"), this);
    m_findAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    m_findAction->setShortcutVisibleInContextMenu(true);
    connect(m_findAction, &QAction::triggered, this, &frmMain::showFindInstruments);
    m_shareAction = new QAction(QStringLiteral("&Share on the Network…"), this);
    m_shareAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    m_shareAction->setShortcutVisibleInContextMenu(true);
    connect(m_shareAction, &QAction::triggered, this, &frmMain::showShareWindow);
    addAction(m_wireAction);
    addAction(m_chartAction);
    addAction(m_findAction);
    addAction(m_shareAction);
}

namespace {

// A view opens first beside the main window rather than over it, where it would hide the
// controls the operator is using; after that it stays where the operator puts it.
void placeBeside(QWidget *view, const QWidget *main, int below)
{
    const QRect frame = main->frameGeometry();
    QPoint at = frame.topRight() + QPoint(8, below);
    if (const QScreen *screen = main->screen()) {
        const QRect free = screen->availableGeometry();
        at.setX(qMax(free.left(), qMin(at.x(), free.right() - view->width())));
        at.setY(qMax(free.top(), qMin(at.y(), free.bottom() - view->height())));
    }
    view->move(at);
}

} // namespace

void frmMain::showWireView()
{
    if (!m_wireView) {
        // Looked at from now on: the history may take what the README promises.
        m_wireModel->setLimits(WireModel::DefaultMaxEntries, HistoryMemory::ShownLimit);
        m_wireView = new WireView(m_wireModel, this);
        placeBeside(m_wireView, this, 0);
    }
    m_wireView->show();
    m_wireView->raise();
    m_wireView->activateWindow();
}

void frmMain::showLoopChart()
{
    if (!m_loopChart) {
        m_loopSeries->setLimits(LoopSeries::DefaultMaxReadings, HistoryMemory::ShownLimit);
        m_loopChart = new LoopChart(m_loopSeries, this);
        placeBeside(m_loopChart, this, m_wireView ? m_wireView->frameGeometry().height() + 8 : 0);
    }
    m_loopChart->show();
    m_loopChart->raise();
    m_loopChart->activateWindow();
}

void frmMain::showFindInstruments()
{
    if (!m_findInstruments) {
        m_findInstruments = new FindInstruments(this);
        connect(m_findInstruments, &FindInstruments::useRequested, this,
                &frmMain::useFoundInstrument);
        placeBeside(m_findInstruments, this, 0);
    }
    m_findInstruments->show();
    m_findInstruments->raise();
    m_findInstruments->activateWindow();
}

void frmMain::showShareWindow()
{
    if (!m_shareWindow) {
        m_shareWindow = new ShareWindow(
                m_session,
                [this]() -> const QTableWidget * {
                    return m_findInstruments ? m_findInstruments->table() : nullptr;
                },
                this);
        placeBeside(m_shareWindow, this, 0);
    }
    m_shareWindow->show();
    m_shareWindow->raise();
    m_shareWindow->activateWindow();
}

void frmMain::keyPressEvent(QKeyEvent *event)
{
    // X11 turns the Menu key into a context menu request by itself (the key press then goes to
    // the open menu), other platforms may not, and none does so for Shift+F10. Both come here
    // when the focused control has no use for them, and ask the control for its menu.
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool menuKey = event->key() == Qt::Key_Menu && modifiers == Qt::NoModifier;
    const bool shiftF10 = event->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier;
    if (!menuKey && !shiftF10) {
        QWidget::keyPressEvent(event);
        return;
    }
    QWidget *target = focusWidget() ? focusWidget() : this;
    const QPoint at = target->rect().center();
    QContextMenuEvent request(QContextMenuEvent::Keyboard, at, target->mapToGlobal(at));
    QApplication::sendEvent(target, &request);
}

void frmMain::contextMenuEvent(QContextMenuEvent *event)
{
    // Reached by a right click on the window's background or its buttons, by the Menu key and
    // by Shift+F10 (see keyPressEvent); the boxes that edit text keep their own menus.
    QMenu menu(this);
    // The name by which the window shows it to screen readers while it is open.
    menu.setObjectName(QStringLiteral("contextMenu"));
    menu.setAccessibleName(QStringLiteral("Views"));
    menu.addAction(m_wireAction);
    menu.addAction(m_chartAction);
    menu.addAction(m_findAction);
    menu.addAction(m_shareAction);
    menu.exec(event->globalPos());
}
