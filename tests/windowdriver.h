#pragma once

#include "line/port/serialcontrol.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/frmports.h"

#include "windows/views/bytetextbox.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <functional>

// Drives the main window the way an operator does, for tests.
namespace WindowDriver {

template<typename T = QAbstractButton>
T *control(QWidget *window, const QString &name)
{
    T *found = window->findChild<T *>(name);
    if (!found)
        qFatal("no control named %s", qPrintable(name));
    return found;
}

// What the results box holds, byte for byte.
inline QString resultsText(QWidget *window)
{
    return control<ByteTextBox>(window, QStringLiteral("txtResults"))->text();
}

// The error box's text while it is shown; empty while it is hidden.
inline QString shownError(QWidget *window)
{
    auto *box = control<QPlainTextEdit>(window, QStringLiteral("txtError"));
    return box->isVisibleTo(window) ? box->toPlainText() : QString();
}

inline bool errorShown(QWidget *window)
{
    return control<QWidget>(window, QStringLiteral("txtError"))->isVisibleTo(window);
}

inline void click(QWidget *window, const QString &name)
{
    control(window, name)->click();
}

// The ways an operator, a screen reader or the program itself selects an option button.
enum class SelectBy { Mouse, SpaceKey, ArrowKey, Accessibility, Code };

inline const char *selectByName(SelectBy way)
{
    static const char *const names[] = {"mouse", "space", "arrow", "accessibility", "code"};
    return names[int(way)];
}

// Selects the option `name` the given way. ArrowKey moves there from its neighbour `before`,
// which must be the selected one, with the arrow key that points at it, as a keyboard user
// walks an option group.
inline void select(QWidget *window, const QString &name, SelectBy way, const QString &before = {})
{
    auto *option = control(window, name);
    switch (way) {
    case SelectBy::Mouse:
        QTest::mouseClick(option, Qt::LeftButton);
        break;
    case SelectBy::SpaceKey:
        option->setFocus();
        QTest::keyClick(option, Qt::Key_Space);
        break;
    case SelectBy::ArrowKey: {
        QWidget *from = control(window, before);
        const QPoint delta = option->mapTo(window, QPoint()) - from->mapTo(window, QPoint());
        const Qt::Key key = std::abs(delta.y()) > std::abs(delta.x())
                ? (delta.y() > 0 ? Qt::Key_Down : Qt::Key_Up)
                : (delta.x() > 0 ? Qt::Key_Right : Qt::Key_Left);
        from->activateWindow();
        from->setFocus();
        QTRY_VERIFY2(QApplication::focusWidget() == from, qPrintable(before + " has no focus"));
        QTest::keyClick(from, key);
        break;
    }
    case SelectBy::Accessibility: {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(option);
        QVERIFY(accessible && accessible->actionInterface());
        accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        break;
    }
    case SelectBy::Code:
        option->setChecked(true);
        break;
    }
    QVERIFY2(option->isChecked(), qPrintable(name + " not selected by " + selectByName(way)));
}

// Presses Initialize; while the port window is shown (modally) runs `inWindow`, then leaves it
// with its return button unless `inWindow` already closed it. Pressed while an exchange waits,
// Initialize returns at once and the port window opens when the wait has ended.
inline void initialize(frmMain &window, const std::function<void(frmPorts *)> &inWindow = {})
{
    auto *shown = new QTimer(&window);
    QObject::connect(shown, &QTimer::timeout, &window, [&window, inWindow, shown] {
        frmPorts *ports = window.portsWindow();
        if (!ports->isVisible())
            return;
        shown->stop();
        shown->deleteLater();
        if (inWindow)
            inWindow(ports);
        if (ports->isVisible())
            click(ports, QStringLiteral("cmdExit"));
    });
    shown->start(1);
    window.cmdInit_Click();
}

// Opens `line` and waits, events running, until the open has ended one way or the other: a
// network line or a binding by identity is reached later. True when it is open.
inline bool openAndWait(SerialControl &line)
{
    line.setPortOpen(true);
    return QTest::qWaitFor([&] { return line.state() != SerialControl::State::Opening; }, 15000)
            && line.PortOpen();
}

// Initialize with one COM button (and optionally a baud option index) pressed, until the open
// it starts has ended.
inline void initializeOn(frmMain &window, int comPort, int baudIndex = -1)
{
    initialize(window, [comPort, baudIndex](frmPorts *ports) {
        click(ports, QStringLiteral("cmdCOM%1").arg(comPort));
        if (baudIndex >= 0)
            click(ports, QStringLiteral("optBaud_%1").arg(baudIndex));
    });
    QVERIFY(QTest::qWaitFor(
            [&] { return window.serial()->state() != SerialControl::State::Opening; }, 15000));
}

} // namespace WindowDriver
