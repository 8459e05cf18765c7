// Page 2's view of a relocation run, and the window's painted background.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>

struct ItemRecord;

// The failure text of one row holds at most this many bytes with its NUL.
const size_t FAILURE_TEXT_BYTES = 8192;

// Row height of the item list, set through a 1-pixel-wide image list.
const int ITEM_ROW_HEIGHT = 19;

// The widest an item's info tip grows before its lines wrap, in pixels.
const int INFO_TIP_WIDTH = 640;

// Sets up the item list once after its creation: grid lines, full-row
// selection, double buffering, info tips, 19-pixel rows and the four
// columns.
void SetUpItemList(HWND list);

// Sets the text of one cell of a list view (sub-item 0 is the row's own).
void SetSubItemText(HWND list, int row, int subItem, const char* text);

// Appends the record's row (at record->index): title, "等待", two empty counts.
void AddItemRow(const ItemRecord* record);

// The failure text of a finished record into `text` (`size` bytes with the
// NUL): each existing list's heading followed by its addresses, one per
// line, the mobile part after a blank line.  What does not fit is left out
// and counted in a last line, so the text never grows past the buffer.
void BuildFailureText(const ItemRecord* record, char* text, size_t size);

// The info tip of a finished record into `text` (`size` bytes with the
// NUL): each failed address, desktop then mobile, with its failure's
// sentence on an indented line below it.  What does not fit is left out and
// counted in a last line.
void BuildInfoTipText(const ItemRecord* record, char* text, size_t size);

// LVN_GETINFOTIPW of the item list: the tip of a finished row with failures,
// an empty text (no tip) for any other.  The list's parents are Unicode
// windows, so the list asks for the wide notification.
void FillInfoTip(NMLVGETINFOTIPW* tip);

// Rebuilds the failure text for the selected row: empty without a selection
// and for rows that are not finished or have no failure list.
void ShowFailuresOfSelection();

// Right edge of the header band and the separator lines, and where they lie.
const int BACKGROUND_WIDTH = 680;
const int HEADER_BAND_BOTTOM = 72;
const int BUTTON_ROW_SEPARATOR_Y = 484;
const int LINK_SEPARATOR_X = 147;
const int LINK_SEPARATOR_TOP = 505;
const int LINK_SEPARATOR_BOTTOM = 516;

// The WM_PAINT handler of the main window and of both page panels: a white
// header band and separator lines over the button face colour, drawn into
// appState.paintCache at the main window's client size and afterwards only
// copied.  Never built from an empty (minimized) client area.
void PaintBackground(HWND window);

// WM_SIZE of the main window: a cache of another size is dropped and the
// window repainted, so the background follows the client size.  A 0 x 0
// size (minimized) keeps the cache for the restore.
void FollowClientSize(int width, int height);
