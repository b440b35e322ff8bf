#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The number an instrument sends back, in any of the decimal forms IEEE 488.2 devices use:
// "-5", "12.5", ".5", "5.", "+1.234E-03", "1e3", with blanks, tabs, CR and LF around it.
// Anything else (a second number, letters, a bare sign, a value beyond a double) is no number.
// Unlike NumericValue, which reads what an operator types and always gives something, this
// says "none" instead of guessing, so a chart can leave a gap rather than plot a false 0.
std::optional<double> ReadInstrumentNumber(QByteArrayView text);

// `text` without the blanks (space, tab, CR, LF) at either end that a reply's number and text
// may carry.
QByteArrayView TrimmedBlanks(QByteArrayView text);
