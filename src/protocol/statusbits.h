#pragma once

#include "framing.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The two IEEE 488.2 status registers an operator reads by hand, and what their bits mean.
enum class StatusRegister { None, EventStatus, StatusByte };

// The register a frame on its way to the device asks for: "*ESR?" or "*STB?" anywhere in it,
// in any case and any framing.
StatusRegister StatusQueryIn(const QByteArray &frame);

// The register's value in a reply asked for in `protocol`, once the reply is complete (it holds
// a line end); nothing while it may still grow or when it is not a whole number from 0 to 255.
std::optional<int> StatusReplyValue(const QByteArray &received, Framing::Protocol protocol);

// "32 = command error (CME)"; several bits are listed low to high, joined by " + ".
QString DescribeStatusBits(StatusRegister reg, int value);
