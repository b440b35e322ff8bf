// The peer of the start-up benchmark: a bare Qt 6 window of the main window's size with a
// serial port object, and nothing else.

#include <QApplication>
#include <QSerialPort>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.setFixedSize(643, 569);
    QSerialPort port(&window);
    window.show();
    return app.exec();
}
