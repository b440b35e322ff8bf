#pragma once

#include "line/port/serialcontrol.h"
#include "ptydevice.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// Base of the suites that need a main window with COM 1 open on a pseudo-terminal device,
// made afresh for every test function.
class WiredWindowTest : public QObject
{
protected:
    std::unique_ptr<PtyDevice> device;
    std::unique_ptr<frmMain> w;
    std::unique_ptr<QSignalSpy> beeps;

    // Binds a new device to COM 1 and opens it through Initialize.
    void openWiredWindow()
    {
        device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        w = std::make_unique<frmMain>();
        beeps = std::make_unique<QSignalSpy>(w.get(), &frmMain::beeped);
        WindowDriver::initializeOn(*w, 1);
        QVERIFY(w->serial()->PortOpen());
    }

    void closeWiredWindow()
    {
        beeps.reset();
        w.reset();
        device.reset();
    }

    QComboBox *command() const { return WindowDriver::control<QComboBox>(w.get(), "combCmd"); }
    QString results() const { return WindowDriver::resultsText(w.get()); }
    QString error() const
    {
        return WindowDriver::control<QPlainTextEdit>(w.get(), "txtError")->toPlainText();
    }
};
