#pragma once

#include "mainwin/frmmain.h"
#include "port/frmports.h"

#include "ui/bytetextbox.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTimer>

#include <functional>

// Drives the main window the way an operator does, for tests.
namespace WindowDriver {

template <typename T = QAbstractButton>
T *control(QWidget *window, const QString &name)
{
    return window->findChild<T *>(name);
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

// Presses Initialize; while the port window is shown (modally) runs `inWindow`, then leaves it
// with its return button unless `inWindow` already closed it.
inline void initialize(frmMain &window, const std::function<void(frmPorts *)> &inWindow = {})
{
    QTimer::singleShot(0, &window, [&window, inWindow] {
        frmPorts *ports = window.portsWindow();
        if (inWindow)
            inWindow(ports);
        if (ports->isVisible())
            click(ports, QStringLiteral("cmdExit"));
    });
    window.cmdInit_Click();
}

// Initialize with one COM button (and optionally a baud option index) pressed.
inline void initializeOn(frmMain &window, int comPort, int baudIndex = -1)
{
    initialize(window, [comPort, baudIndex](frmPorts *ports) {
        click(ports, QStringLiteral("cmdCOM%1").arg(comPort));
        if (baudIndex >= 0)
            click(ports, QStringLiteral("optBaud_%1").arg(baudIndex));
    });
}

} // namespace WindowDriver
