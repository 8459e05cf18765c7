#include "ui/wizard.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "package/item_record.h"
#include "package/reader.h"
#include "platform/fs.h"
#include "platform/thread.h"
#include "relocate/run.h"
#include "relocate/run_inputs.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/progress_view.h"
#include "ui/shell_utilities.h"
#include "ui/ui_texts.h"
#include "ui/window_run_view.h"
#include "util/front_end.h"
#include "util/strings.h"

namespace {

const int MESSAGE_BYTES = 4096;
// How often the wait at the end of a session looks whether the run ended.
const DWORD END_SESSION_POLL_MS = 100;

typedef BOOL(WINAPI* ShutdownBlockReasonCreateFunction)(HWND, LPCWSTR);

// The run gives up the images in flight, writes the package back and ends
// the process; until then the window cannot be closed again.
void StopRunForClose() {
    appState.stopRequested = 1;
    EnableWindow(appState.closeButton, FALSE);
    EnableMenuItem(GetSystemMenu(appState.mainWindow, FALSE), SC_CLOSE, MF_GRAYED);
}

void Warn(const char* text, HWND focus) {
    ShowMessage(text, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
    SetFocus(focus);
}

// Drops are taken exactly while page 1 shows.
void AcceptDrops(bool accept) {
    LONG_PTR style = GetWindowLongPtrA(appState.mainWindow, GWL_EXSTYLE);
    style = accept ? (style | WS_EX_ACCEPTFILES) : (style & ~static_cast<LONG_PTR>(WS_EX_ACCEPTFILES));
    SetWindowLongPtrA(appState.mainWindow, GWL_EXSTYLE, style);
}

void EnableOptions(BOOL enable) {
    HWND controls[] = {appState.imageSpaceCheck, appState.thirdPartyCheck, appState.blankFailedCheck,
                       appState.chooseDestinationButton, appState.previousButton, appState.nextButton};
    for (HWND control : controls) EnableWindow(control, enable);
}

// A reload starts page 2 afresh: no rows, the option defaults, no
// destination, everything enabled.
void ResetOptionsPage() {
    SendMessageA(appState.itemList, LVM_DELETEALLITEMS, 0, 0);
    EnableOptions(TRUE);
    SendMessageA(appState.imageSpaceCheck, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(appState.thirdPartyCheck, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(appState.blankFailedCheck, BM_SETCHECK, BST_UNCHECKED, 0);
    SetWindowTextA(appState.destinationEdit, "");
}

void ShowOptionsPage() {
    Vector* items = appState.items;
    for (int32_t i = 0; i < items->count; ++i) AddItemRow(static_cast<const ItemRecord*>(items->items[i]));
    char text[128];
    std::snprintf(text, sizeof text, FORMAT_ITEM_COUNT, items->count);
    SetWindowTextA(appState.progressText, text);
    ShowWindow(appState.packagePanel, SW_HIDE);
    ShowWindow(appState.optionsPanel, SW_SHOW);
    SetWindowTextA(appState.nextButton, TEXT_START_RUN);
    ShowWindow(appState.previousButton, SW_SHOW);
    SetWindowTextA(appState.failureText, "");
    SendMessageA(appState.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressRangeForItems(items->count)));
    SendMessageA(appState.progressBar, PBM_SETPOS, 0, 0);
    ++appState.wizardStep;
    if (appState.wizardStep > 1) AcceptDrops(false);
}

}  // namespace

void ChoosePackage() {
    char file[MAX_PATH];
    std::memset(file, 0, sizeof file);
    if (!ChooseFile(appState.instance, appState.mainWindow, TITLE_CHOOSE_PACKAGE, FILTER_PACKAGE, nullptr, file)) {
        return;
    }
    SetWindowTextA(appState.packagePathEdit, file);
}

void TakeDroppedFiles(HDROP drop) {
    HWND window = appState.mainWindow;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(window);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        char name[MAX_PATH];
        if (DragQueryFileA(drop, i, name, sizeof name) == 0) continue;
        if (EndsWithNoCase(name, ".csv")) {
            SetWindowTextA(appState.packagePathEdit, name);
            break;
        }
    }
    DragFinish(drop);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void LoadChosenPackage() {
    char path[MAX_PATH_BYTES];
    path[0] = '\0';
    GetWindowTextA(appState.packagePathEdit, path, sizeof path);
    const char* warning = CheckPackagePath(path);
    if (warning != nullptr) {
        Warn(warning, appState.choosePackageButton);
        return;
    }
    if (appState.items != nullptr) ResetOptionsPage();

    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    int result = LoadPackageIntoState(path);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));

    char message[MESSAGE_BYTES];
    if (result == PACKAGE_READ_OK) {
        ShowOptionsPage();
    } else if (result == PACKAGE_READ_TITLE_TOO_LONG) {
        FormatTitleTooLongMessage(appState.packagePath, message, sizeof message);
        Warn(message, appState.choosePackageButton);
    } else {
        FormatUnusablePackageMessage(appState.packagePath, message, sizeof message);
        if (ShowMessage(message, CAPTION_NOTICE, MESSAGE_YES_NO | MESSAGE_ICON_QUESTION) == ANSWER_YES) {
            OpenSitePage(PAGE_CONVERSION_GUIDE);
        }
        SetFocus(appState.choosePackageButton);
    }
}

void GoBackToPackagePage() {
    ShowWindow(appState.packagePanel, SW_SHOW);
    ShowWindow(appState.optionsPanel, SW_HIDE);
    SetWindowTextA(appState.nextButton, TEXT_NEXT);
    ShowWindow(appState.previousButton, SW_HIDE);
    EnableWindow(appState.nextButton, TRUE);
    --appState.wizardStep;
    if (appState.wizardStep == 1) AcceptDrops(true);
}

void ChooseDestination() {
    char folder[MAX_PATH];
    folder[0] = '\0';
    GetWindowTextA(appState.destinationEdit, folder, sizeof folder);
    if (ChooseFolder(appState.mainWindow, TITLE_CHOOSE_DESTINATION, folder, 1)) {
        SetWindowTextA(appState.destinationEdit, folder);
    }
}

void StartRun() {
    RunOptions options;
    ReadRunOptions(&options);
    char desktop[MAX_PATH];
    desktop[0] = '\0';
    int haveDesktop = GetSpecialFolderPath(CSIDL_DESKTOP, desktop);
    InputField field = INPUT_OK;
    char text[MESSAGE_BYTES];
    const char* warning =
        CheckRunInputs(options, appState.packagePath, haveDesktop ? desktop : nullptr, &field, text, sizeof text);
    if (warning != nullptr) {
        // A package that cannot be written is mended outside (closing Excel):
        // the focus stays on 开始搬家 for the next try.
        HWND focus = field == INPUT_IMAGE_SOURCE ? appState.imageSpaceCheck
                     : field == INPUT_PACKAGE    ? appState.nextButton
                                                 : appState.chooseDestinationButton;
        Warn(warning, focus);
        return;
    }
    // The run reads these controls once at its start; they stay disabled
    // until the user goes back and loads again.
    EnableOptions(FALSE);
    // Running from here on, before the thread exists: a close handled before
    // the thread gets going asks first and then stops the run, which then
    // ends the process itself, never in the middle of its backup.
    appState.running = 1;
    if (!StartDetachedThread(RunRelocation, WindowRunView())) {
        appState.running = 0;
        ShowMessage(MESSAGE_RUN_THREAD_FAILED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProcess(-1);
    }
}

void RequestClose() {
    if (!appState.running) {
        EndProcess(0);
        return;
    }
    int answer = ShowMessage(QUESTION_CLOSE_WHILE_RUNNING, CAPTION_CONFIRM, MESSAGE_OK_CANCEL | MESSAGE_ICON_QUESTION);
    if (answer != ANSWER_OK) return;
    // The run may have ended while the question was open.
    if (!appState.running) {
        EndProcess(0);
        return;
    }
    StopRunForClose();
}

void QueryEndSession() {
    if (!appState.running) return;
    // Looked up at run time: only Vista and later have it.
    FARPROC found = GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonCreate");
    if (found != nullptr) {
        reinterpret_cast<ShutdownBlockReasonCreateFunction>(reinterpret_cast<void (*)(void)>(found))(
            appState.mainWindow, REASON_SAVING_PACKAGE);
    }
    if (!appState.stopRequested) StopRunForClose();
}

void EndSession(bool ending) {
    if (!ending || !appState.running) return;
    if (!appState.stopRequested) StopRunForClose();
    // The run sends its window messages and waits for each, so only sent
    // messages are served here; posted ones (clicks) stay queued, nothing
    // new may start now.  The run ends the process after the write-back; a
    // run that finished meanwhile leaves the end to the system.
    while (appState.running) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, END_SESSION_POLL_MS, QS_SENDMESSAGE);
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
