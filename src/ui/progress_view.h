// Page 2's view of a relocation run, and the window's painted background.
#pragma once

#include <windows.h>

// Right edge of the header band and the separator lines, and where they lie.
const int BACKGROUND_WIDTH = 680;
const int HEADER_BAND_BOTTOM = 72;
const int BUTTON_ROW_SEPARATOR_Y = 484;
const int LINK_SEPARATOR_X = 147;
const int LINK_SEPARATOR_TOP = 505;
const int LINK_SEPARATOR_BOTTOM = 516;

// The WM_PAINT handler of the main window and of both page panels: a white
// header band and separator lines over the button face colour, drawn once
// into appState.paintCache and afterwards only copied.
void PaintBackground(HWND window);
