// Start-up and the end of the Win32 program: the steps WinMain takes in
// order, the desktop-shortcut offer and the message loop.
#pragma once

#include <windows.h>

// The desktop shortcut "<desktop>\Tessavo.lnk", offered until it exists or
// the marker "no_shortcut.txt" (empty) stands in the program's folder.
extern const char SHORTCUT_NAME[];         // "Tessavo"
extern const char SHORTCUT_MARKER_NAME[];  // "no_shortcut.txt"

// Exit codes of start-up failures (a log that cannot be opened ends with 0).
const int EXIT_START_FAILED = -1;

// Lets the process load DLLs by name only from the system folder, so a DLL
// planted beside the program (a Downloads folder) is never loaded by the
// shell's dialogs.  Looked up at run time: older systems lack it.
void RestrictDllSearch();

// CoInitializeEx, apartment-threaded: on the threads that use the shell's
// dialogs, its links or ShellExecuteEx.
void StartComOnThisThread();

// The folder of the program file, or the current directory when the
// program's path cannot be obtained.  A folder that cannot be named in the
// core's form ends the process (exit code -1) after saying so.
void ComputeProgramFolder(char* folder, int size);

// 1 when `folder` looks like an archive tool's temporary extraction folder:
// it holds a '$' and the exact text "\Temp\".
int IsArchiveTempFolder(const char* folder);

// Message boxes owned by the main window (none before it exists), shown by
// the calling thread as the user-interface thread (ui/message_boxes.h), and
// the out-of-memory handler, for core code.
void InstallWindowsFrontEnd();

// Ends Karvelo.exe with `code`; only the program's own code ends it.
[[noreturn]] void EndProgram(int code);

// Ends the process when the program runs from an archive tool's folder:
// tells the user, opens the unpacking page, exit code -1.
void RefuseArchiveFolder();

// WSAStartup asking for 2.2; on failure or another version: logged,
// message box, exit code -1.
void StartWinsock();

// Registers CodeBlocksWindowsApp (a Unicode window class); 0 on failure.
ATOM RegisterMainWindowClass(HINSTANCE instance, HICON icon);

// The start-up thread's procedure (no argument).  The update notice check
// runs on it, with COM started for the browser it may open.
unsigned StartupThread(void* argument);

// Asks once whether to put a shortcut to the program on the desktop; the
// question's No and Cancel buttons read "不用再提示" and "否(&N)".
void OfferDesktopShortcut();

// The WH_CBT hook around the shortcut question: renames the buttons of the
// message box being activated, then removes itself.
LRESULT CALLBACK ShortcutPromptHook(int code, WPARAM wParam, LPARAM lParam);

// The message loop, with the link labels' hand cursor and clicks.  Returns
// the quit message's code.
int RunMessageLoop();
