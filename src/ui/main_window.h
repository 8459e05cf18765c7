// The main window: a two-page wizard with 25 controls, all created once in
// its WM_CREATE.  One window procedure serves the window and, by
// subclassing, both page panels, so notifications and colour requests of the
// page controls arrive here whichever panel is their parent.
#pragma once

#include <windows.h>

// The window class and the product name in the title.
extern const wchar_t MAIN_WINDOW_CLASS[];  // "CodeBlocksWindowsApp", a Unicode class
extern const char PRODUCT_NAME[];          // "Karvelo"

// Outer size the layout is made for (with a caption of 19 pixels).
const int MAIN_WINDOW_WIDTH = 680;
const int MAIN_WINDOW_HEIGHT = 560;

// Icon groups: the program's (also the class's) and the window's large one.
const int ICON_PROGRAM = 101;
const int ICON_WINDOW = 102;

// Control ids.  Both page panels carry the same id.
const int ID_PAGE_PANEL = 36100;
const int ID_PACKAGE_PATH = 36102;
const int ID_CHOOSE_PACKAGE = 36103;
const int ID_NOTICE_BOX = 36104;
const int ID_IMAGE_SPACE = 36106;
const int ID_THIRD_PARTY = 36107;
const int ID_BLANK_FAILED = 36108;
const int ID_DESTINATION = 36109;
const int ID_CHOOSE_DESTINATION = 36110;
const int ID_FAILURE_TEXT = 36111;
const int ID_HELP_LINK = 36112;
const int ID_SITE_LINK = 36114;
const int ID_PREVIOUS = 36115;
const int ID_NEXT = 36116;
const int ID_CLOSE = 36117;

// Heading and link fonts (pixel cell heights; weight 0 is the mapper's default).
const int HEADING_FONT_HEIGHT = 20;
const int HEADING_FONT_WEIGHT = 700;
const int LINK_FONT_HEIGHT = 14;
const int LINK_FONT_WEIGHT = 0;
const COLORREF LINK_TEXT_COLOUR = RGB(0, 0, 255);

// "Karvelo(V7.3)".
void FormatMainWindowTitle(char* title, size_t size);

// Creates controls 1-25 in order as children of `window` and stores their
// handles in appState.
void CreateMainControls(HWND window, HINSTANCE instance);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
