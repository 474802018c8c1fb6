// Moving a borderless window by its skin: a press on a drag control starts the drag, the
// window follows the mouse with the grab point fixed, and a release ends it.
//
// The drag is event-driven: DragForm records where the mouse holds the window and returns at
// once; the window then follows every mouse move until a release, a lost mouse grab or the
// program losing the active window ends it, or a MouseUp handler clears DragOn.
#pragma once

class QWidget;

// 1 while a drag runs, 0 otherwise. One flag for the whole program.
extern int DragOn;

// Starts dragging frm from the current mouse position. X and Y are the pressed control's
// mouse coordinates, passed on by its MouseDown handler; the drag does not need them.
void DragForm(double X, double Y, QWidget* frm);

// The window being dragged, or null.
QWidget* draggedForm();
