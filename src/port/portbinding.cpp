#include "portbinding.h"

#include <QtGlobal>

QString ComPortVariable(int comPort)
{
    return QStringLiteral("QUILLON_COM%1").arg(comPort);
}

QString DevicePathForComPort(int comPort)
{
    const QString bound = qEnvironmentVariable(ComPortVariable(comPort).toLatin1().constData());
    if (!bound.isEmpty())
        return bound;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(comPort);
#else
    return QStringLiteral("/dev/ttyS%1").arg(comPort - 1);
#endif
}
