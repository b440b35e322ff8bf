#pragma once

// Loads the font Quillon ships and makes it the application font, so that every caption has
// the same width on every machine and fits the fixed layout. Call once after QApplication.
void ApplyQuillonAppearance();
