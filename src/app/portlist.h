#pragma once

#include "line/portbinding.h"
#include "line/transport/transportregistry.h"

#include <QList>
#include <QString>

#include <array>

struct ComBinding
{
    QString device;
    ComPortSource source = ComPortSource::Default;
};

// What COM 1 .. COM 4 open now, and why.
std::array<ComBinding, 4> CurrentComBindings();

// The text --list-ports prints.
QString FormatPortList(
        const QList<SerialPortEntry> &ports, const std::array<ComBinding, 4> &bindings);
