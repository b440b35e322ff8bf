#include "mainwin/frmmain.h"
#include "ui/appearance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    ApplyQuillonAppearance();

    frmMain window;
    window.show();
    return app.exec();
}
