// The second peer of the start-up benchmark: Quillon's main window layout alone, its controls
// as the layout file makes them from Qt's own classes and nothing else (no handlers, no shipped
// font or style, no port window, no artwork), with a serial port object. What any program
// showing these controls pays; the gap between it and the bare window is the controls' own.

#include "ui_frmmain.h"

#include <QApplication>
#include <QSerialPort>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    Ui::frmMain layout;
    layout.setupUi(&window);
    window.setWindowTitle(QStringLiteral("Velk Quillon"));
    window.setFixedSize(643, 569);
    QSerialPort port(&window);
    window.show();
    return app.exec();
}
