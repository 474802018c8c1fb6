// The key rules every song list shares, written once for all of them (the Requests list too).
//
// Every list hands its keys to GlobalKeyDown first and its releases to GlobalKeyUp (the main
// window's forwarder does that), and typed characters never reach a list's type-ahead
// (SongListView has none). What is left for a list's own key handler is here: the selected
// row, the selection moves on the numeric keypad, and telling the view that a key was used.
#pragma once

class QTreeView;

namespace listkeys {

// The 1-based row of the list's selection; 0 when nothing is selected or the list is empty.
int selectedRow(const QTreeView* list);

// Numpad 8 (up) and Numpad 2 (down) move the selection one row and keep the row beyond it in
// sight, so the DJ sees what comes next.
enum class Move {
    NotAMove, // the key is neither: the list goes on with its own keys
    Moved,    // the selection moved one row
    Blocked,  // at the first or last row, or nothing selected: nothing happened, and the
              // handler ends here
};
Move keypadMove(QTreeView* list, int KeyCode);

// A list handler that acted on a key sets the code to 0, so the view's own handling of the
// same key (moving the current row, scrolling sideways) does not follow.
inline void used(int& KeyCode) { KeyCode = 0; }

} // namespace listkeys
