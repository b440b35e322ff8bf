#include "line/port/portbinding.h"

#include <QtGlobal>

#include <array>

namespace {
// Set from the command line before any window exists, read on the one event thread.
std::array<QString, Wire::ComPorts> g_overrides;

bool validComPort(int comPort)
{
    return comPort >= 1 && comPort <= int(g_overrides.size());
}

QString environmentBinding(int comPort)
{
    return qEnvironmentVariable(ComPortVariable(comPort).toLatin1().constData());
}
} // namespace

QString ComPortVariable(int comPort)
{
    return QStringLiteral("QUILLON_COM%1").arg(comPort);
}

void SetComPortOverride(int comPort, const QString &device)
{
    if (validComPort(comPort))
        g_overrides[comPort - 1] = device;
}

ComPortSource ComPortBindingSource(int comPort)
{
    if (validComPort(comPort) && !g_overrides[comPort - 1].isEmpty())
        return ComPortSource::Option;
    if (!environmentBinding(comPort).isEmpty())
        return ComPortSource::Environment;
    return ComPortSource::Default;
}

QString DevicePathForComPort(int comPort)
{
    switch (ComPortBindingSource(comPort)) {
    case ComPortSource::Option:
        return g_overrides[comPort - 1];
    case ComPortSource::Environment:
        return environmentBinding(comPort);
    case ComPortSource::Default:
        break;
    }
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(comPort);
#else
    return QStringLiteral("/dev/ttyS%1").arg(comPort - 1);
#endif
}
