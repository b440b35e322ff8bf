#pragma once

// Starts reading the system's font configuration on a thread of its own, so that it overlaps
// the program's connection to the display instead of following it. Optional; call before
// QApplication, on the way to showing a window.
void StartReadingFontConfiguration();

// Loads the font Quillon ships and makes it the application font, so that every caption has
// the same width on every machine and fits the fixed layout. Call once after QApplication.
void ApplyQuillonAppearance();
