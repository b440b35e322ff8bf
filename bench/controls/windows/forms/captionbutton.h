#pragma once

// The controls-only start-up peer builds Quillon's main window layout from Qt's own controls:
// the buttons as push buttons.
#include <QPushButton>
using CaptionButton = QPushButton;
