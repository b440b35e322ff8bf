#pragma once

#include "protocol/framing.h"

#include <QString>

// The device behind "COM n" (n = 1..4), chosen in this order: the command line's --comN for
// this run, the environment variable QUILLON_COMn when it is set and not empty, otherwise the
// platform's conventional name for that port.
QString DevicePathForComPort(int comPort);

// The environment variable that binds COM n.
QString ComPortVariable(int comPort);

enum class ComPortSource { Option, Environment, Default };
// Where the binding of COM n comes from now.
ComPortSource ComPortBindingSource(int comPort);

// Binds COM n to `device` for the rest of this run, above the environment; empty undoes it.
void SetComPortOverride(int comPort, const QString &device);
