#pragma once

#include <QByteArray>
#include <QString>

// Bytes in the form the transcript, the CSV file and a check script show them: printable ASCII
// as is, \r \n \t \" \\ and \xHH for the rest, between double quotes. No two byte strings read
// alike, and a line holding one can never be broken by it.
QByteArray EscapedBytes(const QByteArray &bytes);
// The reverse, for the text between the quotes. False on an unknown escape, a short \x or a
// character above 255.
bool UnescapeBytes(const QString &text, QByteArray &bytes);
