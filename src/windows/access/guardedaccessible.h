#pragma once

class QWidget;

// Screen readers and automation reach every control of every window through the accessibility
// interface, also the controls a modal window blocks for the mouse and the keyboard. The
// interfaces installed here let buttons, check boxes, options and text boxes act only where a
// key could act: not in a window a modal window is shown over, and a read-only or disabled box
// takes no text. Reading stays open everywhere. Call once the application object exists;
// calling again does nothing.
void InstallGuardedAccessibility();

// True while a modal window other than `widget`'s own is shown over it.
bool BlockedByModalWindow(const QWidget *widget);
