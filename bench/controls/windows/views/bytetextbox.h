#pragma once

// The controls-only start-up peer builds Quillon's main window layout from Qt's own controls:
// the results and error boxes as plain text edits.
#include <QPlainTextEdit>
using ByteTextBox = QPlainTextEdit;
