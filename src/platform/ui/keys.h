// Key events arrive from Qt; the program's key handlers compare Windows virtual-key codes.
#pragma once

class QKeyEvent;

// The virtual-key code of a Qt key event (letters as their upper-case code, keypad digits as
// Numpad0..Numpad9, F1..F12 as 112..123); 0 for keys the program has no code for.
int virtualKeyCode(const QKeyEvent* event);

// The Shift argument of a key handler: 1 Shift, 2 Ctrl, 4 Alt, added together.
int shiftState(const QKeyEvent* event);
