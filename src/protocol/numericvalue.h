#pragma once

#include <QByteArray>
#include <QString>

// The number an operator's text starts with, read the forgiving way instrument software has
// always read a typed value: blanks are skipped anywhere, then a sign, digits with one decimal
// point and an E exponent, or &H / &O for hexadecimal / octal. No number at the start gives 0.
double NumericValue(const QString &text);

struct AddressEntry
{
    bool accepted = false;
    QString devAddr; // the address characters to put after STX; set only when accepted
};

// Checks the text typed into the address box and turns it into the address characters.
// Values above 9 become the single character 48 + round(v) (ties to even), so 10..15 map onto
// ':' .. '?'; values up to 9 are used exactly as typed.
AddressEntry EncodeAddress(const QString &typed);
// The characters after STX for bus address `address` (0 to 15), as the address box makes them.
QByteArray AddressCharacters(int address);
