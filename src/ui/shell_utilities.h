// Small utilities over the Win32 shell and window manager: the browser, the
// desktop shortcut, special folders, placing the main window, the controls'
// fonts, the file and folder choosers and the window icon.
#pragma once

#include <windows.h>

// The layout of the main window assumes a caption of this height.
const int LAYOUT_CAPTION_HEIGHT = 19;
// CenterWindow lifts the window this far above the true centre.
const int CENTER_LIFT = 26;
// The default font is made for this screen resolution.
const int BASE_DPI = 96;

// Karvelo's web site and the pages the program opens there.
const char SITE_HOST[] = "www.karvelo.example";
const char PAGE_HOME[] = "/";
const char PAGE_TUTORIAL[] = "/help/relocation.html";          // relocation tutorial and questions
const char PAGE_UNPACKING[] = "/help/unpacking.html";          // how to unpack the program's archive
const char PAGE_CONVERSION_GUIDE[] = "/help/conversion.html";  // converting a package with the listing tool

// Opens `address` in the user's browser: the program associated with .html
// files, else the shell's own handling of the address, else iexplore.exe.
// Nothing is reported when every attempt fails.
void OpenInBrowser(const char* address);

// Opens "http://" SITE_HOST `path` in the browser.
void OpenSitePage(const char* path);

// Writes a shell link (COM must be initialised on the calling thread).
// Returns the COM result: E_INVALIDARG for missing or negative arguments,
// the failure of creating the link object or of asking it for IPersistFile,
// else the result of saving it.
HRESULT CreateShortcut(const char* target, const char* arguments, const char* shortcutPath, const char* description,
                       int showCommand, const char* workingDirectory, const char* iconPath, int iconIndex);

// The file-system path of a special folder (CSIDL_DESKTOP, ...) into
// `buffer` (at least MAX_PATH_BYTES bytes), in the core's form.  Nonzero
// when the buffer holds it; on failure (also for a folder the core's form
// cannot name) the buffer is left as it was.
int GetSpecialFolderPath(int folderId, char* buffer);

// Sets the window's outer size to width x height, the height corrected by
// how much the system caption differs from LAYOUT_CAPTION_HEIGHT.
void FitWindowToCaption(HWND window, int width, int height);

// Moves the window so its client area is centred on the screen
// horizontally and CENTER_LIFT pixels above the centre of the maximised
// area vertically.
void CenterWindow(HWND window);

// The default font's height for a screen of `dpi` dots per inch: heights
// shrink above 96 DPI so the font keeps its 96-DPI pixel size.
LONG ScaleFontHeightForDpi(LONG height, int dpi);

// Gives the control the shared default font: the stock GUI font with the
// face "宋体", weight 400 and its height corrected for the screen DPI.  The
// font is made on first use and kept for the process.
void ApplyDefaultFont(HWND control);

// Gives the control a new font: the stock GUI font with these face, height,
// weight, underline and italic.  Fonts made here are never deleted.
void SetControlFont(HWND control, const char* face, int height, int weight, int underline, int italic);

// The open-file dialog.  `file` (MAX_PATH_BYTES bytes, cleared by the
// caller) receives the choice in the core's form; when `folder` is given, a
// non-empty text in it is the initial folder and it receives the chosen
// file's folder (no trailing backslash).  1 when a file was chosen, 0 on
// cancel, a negative SystemPathResult (ui/wide_text.h) when the chosen path
// cannot be named in the core's form.
int ChooseFile(HINSTANCE instance, HWND owner, const char* title, const char* filter, char* folder, char* file);

// The folder chooser.  `path` (at least MAX_PATH_BYTES bytes) holds the
// initial folder and receives the choice.  1 when a folder was chosen, 0 on
// cancel or for a choice without a file-system path, a negative
// SystemPathResult when the chosen path cannot be named in the core's form.
int ChooseFolder(HWND owner, const char* title, char* path, int newFolderButton);

// The folder chooser's callback: selects the initial folder and allows OK
// only on folders of the file system.
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM parameter, LPARAM data);

// Makes the icon resource `id` the window's large icon.
void SetWindowIcon(HINSTANCE instance, HWND window, int id);
