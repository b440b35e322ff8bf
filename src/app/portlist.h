#pragma once

#include "line/portbinding.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

// One serial device of the system, as --list-ports shows it.
struct SerialPortEntry
{
    QString device; // /dev/ttyUSB0
    QString byId; // its stable /dev/serial/by-id/ name, where there is one
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId, productId;
};

struct ComBinding
{
    QString device;
    ComPortSource source = ComPortSource::Default;
};

// Every serial device the system has now.
QList<SerialPortEntry> SystemSerialPorts();
// What COM 1 .. COM 4 open now, and why.
std::array<ComBinding, 4> CurrentComBindings();

// The text --list-ports prints.
QString FormatPortList(
        const QList<SerialPortEntry> &ports, const std::array<ComBinding, 4> &bindings);
