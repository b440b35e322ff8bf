#pragma once

#include <QString>

// The device behind "COM n" (n = 1..4): the environment variable QUILLON_COMn when it is set
// and not empty, otherwise the platform's conventional name for that port.
QString DevicePathForComPort(int comPort);

// The environment variable that binds COM n.
QString ComPortVariable(int comPort);
