// The Win32 program's entry point: prepares the process, shows the main
// window and runs the message loop until the process ends.
#include "platform/net.h"  // Winsock before <windows.h>

#include <commctrl.h>

#include "http/connection.h"
#include "platform/thread.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/shell_utilities.h"
#include "ui/startup.h"
#include "ui/wide_text.h"
#include "util/app_log.h"
#include "util/front_end.h"
#include "texts/texts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    RestrictDllSearch();
    // The archive check may already open the browser.
    StartComOnThisThread();
    appState.instance = instance;
    InstallWindowsFrontEnd();
    ComputeProgramFolder(coreState.programFolder, sizeof coreState.programFolder);
    if (IsArchiveTempFolder(coreState.programFolder)) RefuseArchiveFolder();
    // Beside the program unless it stands where it cannot write (Program Files).
    ChooseStateFolder(coreState.programFolder, 1, coreState.stateFolder, sizeof coreState.stateFolder);
    if (!OpenAppLog(coreState.stateFolder)) {
        ShowMessage(MESSAGE_LOG_CANNOT_OPEN, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProgram(0);
    }
    StartWinsock();

    char title[64];
    FormatMainWindowTitle(title, sizeof title);
    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(ICON_PROGRAM));
    if (!RegisterMainWindowClass(instance, icon)) return 0;
    // The list view and the progress bar live in the common controls.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    // A caption, system menu and minimize box; no maximize box, no sizing
    // border.  The creation message builds every control.
    WideText wideTitle(title);
    HWND window =
        CreateWindowExW(WS_EX_APPWINDOW | WS_EX_ACCEPTFILES, MAIN_WINDOW_CLASS, wideTitle.get(),
                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                        MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    FitWindowToCaption(window, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT);
    CenterWindow(window);
    ShowWindow(window, showCommand);
    StartDetachedThread(StartupThread, nullptr);
    SetWindowIcon(instance, window, ICON_WINDOW);
    OfferDesktopShortcut();
    return RunMessageLoop();
}
