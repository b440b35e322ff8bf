#pragma once

#include <QByteArray>

#include <optional>

// A number as an instrument writes it in a reply: blanks around it, an optional sign, digits
// with at most one decimal point, and an optional exponent ("+1.234E-03", "-5", ".5", "7.").
// Unlike NumericValue, which reads what an operator typed the forgiving way, anything else in
// the text makes it no number at all: a check must not pass on "9.81 V?" or on an empty reply.
std::optional<double> StrictNumber(const QByteArray &text);
