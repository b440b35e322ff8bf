#pragma once

#include "line/port/portbinding.h"
#include "line/scan/instrumentscan.h"
#include "line/transport/transportregistry.h"

#include <QList>
#include <QString>

#include <array>

struct ComBinding
{
    QString device;
    ComPortSource source = ComPortSource::Default;
    // For a binding by identity: the instruments that answer to it now, one for each line.
    QList<FoundInstrument> matches;
};

// What COM 1 .. COM 4 open now, and why. A binding by identity is searched for, as a scan
// does, events running meanwhile.
std::array<ComBinding, 4> CurrentComBindings();

// The text --list-ports prints.
QString FormatPortList(
        const QList<SerialPortEntry> &ports, const std::array<ComBinding, 4> &bindings);
