#include "ui/wizard.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "package/item_record.h"
#include "http/proxy_settings.h"
#include "package/reader.h"
#include "platform/fs.h"
#include "platform/thread.h"
#include "relocate/run.h"
#include "relocate/run_inputs.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/progress_view.h"
#include "ui/shell_utilities.h"
#include "ui/startup.h"
#include "texts/texts.h"
#include "ui/message_boxes.h"
#include "ui/wide_text.h"
#include "ui/window_run_view.h"
#include "util/front_end.h"
#include "base/memory.h"
#include "base/strings.h"

namespace {

const int MESSAGE_BYTES = 4096;
// How often the wait at the end of a session looks whether the run ended.
const DWORD END_SESSION_POLL_MS = 100;

typedef BOOL(WINAPI* ShutdownBlockReasonCreateFunction)(HWND, LPCWSTR);

// The run gives up the images in flight, writes the package back and ends
// the process; until then the window cannot be closed again.
void StopRunForClose() {
    coreState.stopRequested = 1;
    EnableWindow(appState.closeButton, FALSE);
    EnableMenuItem(GetSystemMenu(appState.mainWindow, FALSE), SC_CLOSE, MF_GRAYED);
}

void Warn(const char* text, HWND focus) {
    ShowMessage(text, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
    SetFocus(focus);
}

// Drops are taken exactly while page 1 shows.
void AcceptDrops(bool accept) {
    LONG_PTR style = GetWindowLongPtrW(appState.mainWindow, GWL_EXSTYLE);
    style = accept ? (style | WS_EX_ACCEPTFILES) : (style & ~static_cast<LONG_PTR>(WS_EX_ACCEPTFILES));
    SetWindowLongPtrW(appState.mainWindow, GWL_EXSTYLE, style);
}

void EnableOptions(BOOL enable) {
    HWND controls[] = {appState.imageSpaceCheck,         appState.thirdPartyCheck, appState.blankFailedCheck,
                       appState.chooseDestinationButton, appState.previousButton,  appState.nextButton};
    for (HWND control : controls) EnableWindow(control, enable);
}

// A reload starts page 2 afresh: no rows, the option defaults, no
// destination, everything enabled.
void ResetOptionsPage() {
    SendMessageW(appState.itemList, LVM_DELETEALLITEMS, 0, 0);
    EnableOptions(TRUE);
    SendMessageW(appState.imageSpaceCheck, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(appState.thirdPartyCheck, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(appState.blankFailedCheck, BM_SETCHECK, BST_UNCHECKED, 0);
    SetWindowTextW(appState.destinationEdit, L"");
}

void ShowOptionsPage() {
    Vector* items = coreState.items;
    for (int32_t i = 0; i < items->count; ++i) AddItemRow(static_cast<const ItemRecord*>(items->items[i]));
    char text[128];
    std::snprintf(text, sizeof text, FORMAT_ITEM_COUNT, items->count);
    SetWindowCoreText(appState.progressText, text);
    ShowWindow(appState.packagePanel, SW_HIDE);
    ShowWindow(appState.optionsPanel, SW_SHOW);
    SetWindowCoreText(appState.nextButton, TEXT_START_RUN);
    ShowWindow(appState.previousButton, SW_SHOW);
    SetWindowTextW(appState.failureText, L"");
    SendMessageW(appState.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressRangeForItems(items->count)));
    SendMessageW(appState.progressBar, PBM_SETPOS, 0, 0);
    ++appState.wizardStep;
    if (appState.wizardStep > 1) AcceptDrops(false);
}

}  // namespace

void ChoosePackage() {
    char file[MAX_PATH_BYTES];
    std::memset(file, 0, sizeof file);
    int chosen =
        ChooseFile(appState.instance, appState.mainWindow, TITLE_CHOOSE_PACKAGE, FILTER_PACKAGE, nullptr, file);
    if (chosen < 0) Warn(UnusablePathMessage(chosen), appState.choosePackageButton);
    if (chosen <= 0) return;
    SetWindowCoreText(appState.packagePathEdit, file);
}

void TakeDroppedFiles(HDROP drop) {
    HWND window = appState.mainWindow;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(window);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    int taken = 0;
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count && taken == 0; ++i) {
        UINT units = DragQueryFileW(drop, i, nullptr, 0);
        if (units == 0) continue;
        wchar_t* name = static_cast<wchar_t*>(Allocate((units + 1) * sizeof(wchar_t)));
        if (DragQueryFileW(drop, i, name, units + 1) == units && units >= 4 &&
            _wcsicmp(name + units - 4, L".csv") == 0) {
            char path[MAX_PATH_BYTES];
            taken = CorePathFromSystem(name, path, sizeof path);
            if (taken == SYSTEM_PATH_OK) SetWindowCoreText(appState.packagePathEdit, path);
        }
        std::free(name);
    }
    DragFinish(drop);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    // A package the program could not name is refused, never replaced by a
    // look-alike path.
    if (taken < 0) Warn(UnusablePathMessage(taken), appState.choosePackageButton);
}

void LoadChosenPackage() {
    char path[MAX_PATH_BYTES];
    path[0] = '\0';
    int read = ReadWindowPath(appState.packagePathEdit, path, sizeof path);
    if (read != SYSTEM_PATH_OK) {
        Warn(UnusablePathMessage(read), appState.choosePackageButton);
        return;
    }
    const char* warning = CheckPackagePath(path);
    if (warning != nullptr) {
        Warn(warning, appState.choosePackageButton);
        return;
    }
    if (coreState.items != nullptr) ResetOptionsPage();

    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    int result = LoadPackageIntoState(path);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));

    char message[MESSAGE_BYTES];
    if (PackageReadFailureMessage(result) != nullptr) {
        ShowMessage(PackageReadFailureMessage(result), CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProgram(0);
    } else if (result == PACKAGE_READ_OK) {
        ShowOptionsPage();
    } else if (result == PACKAGE_READ_TITLE_TOO_LONG) {
        FormatTitleTooLongMessage(coreState.packagePath, message, sizeof message);
        Warn(message, appState.choosePackageButton);
    } else {
        FormatUnusablePackageMessage(coreState.packagePath, message, sizeof message);
        if (ShowMessage(message, CAPTION_NOTICE, MESSAGE_YES_NO | MESSAGE_ICON_QUESTION) == ANSWER_YES) {
            OpenSitePage(PAGE_CONVERSION_GUIDE);
        }
        SetFocus(appState.choosePackageButton);
    }
}

void GoBackToPackagePage() {
    ShowWindow(appState.packagePanel, SW_SHOW);
    ShowWindow(appState.optionsPanel, SW_HIDE);
    SetWindowCoreText(appState.nextButton, TEXT_NEXT);
    ShowWindow(appState.previousButton, SW_HIDE);
    EnableWindow(appState.nextButton, TRUE);
    --appState.wizardStep;
    if (appState.wizardStep == 1) AcceptDrops(true);
}

void ChooseDestination() {
    char folder[MAX_PATH_BYTES];
    // An unusable text in the box just does not preselect a folder.
    if (ReadWindowPath(appState.destinationEdit, folder, sizeof folder) != SYSTEM_PATH_OK) folder[0] = '\0';
    int chosen = ChooseFolder(appState.mainWindow, TITLE_CHOOSE_DESTINATION, folder, 1);
    if (chosen > 0) {
        SetWindowCoreText(appState.destinationEdit, folder);
    } else if (chosen < 0) {
        Warn(UnusablePathMessage(chosen), appState.chooseDestinationButton);
    }
}

namespace {

// The run's thread: the run, its last box, then, after a stop or a failed
// step, the end of the program with the outcome's code.
unsigned RunInWindow(void* view) {
    const RunView* runView = static_cast<const RunView*>(view);
    const RunOutcome outcome = RunRelocation(runView);
    if (PresentRunOutcome(runView, outcome)) EndProgram(outcome.exitCode);
    return 0;
}

}  // namespace

void StartRun() {
    char destination[MAX_PATH_BYTES];
    int read = ReadWindowPath(appState.destinationEdit, destination, sizeof destination);
    if (read != SYSTEM_PATH_OK) {
        Warn(UnusablePathMessage(read), appState.chooseDestinationButton);
        return;
    }
    RunOptions options;
    ReadRunOptions(&options);
    char desktop[MAX_PATH_BYTES];
    desktop[0] = '\0';
    int haveDesktop = GetSpecialFolderPath(CSIDL_DESKTOP, desktop);
    InputField field = INPUT_OK;
    char text[MESSAGE_BYTES];
    const char* warning =
        CheckRunInputs(options, coreState.packagePath, haveDesktop ? desktop : nullptr, &field, text, sizeof text);
    if (warning != nullptr) {
        // A package that cannot be written is mended outside (closing Excel):
        // the focus stays on 开始搬家 for the next try.
        HWND focus = field == INPUT_IMAGE_SOURCE ? appState.imageSpaceCheck
                     : field == INPUT_PACKAGE    ? appState.nextButton
                                                 : appState.chooseDestinationButton;
        Warn(warning, focus);
        return;
    }
    // The system's proxy settings, read once for the run; a proxy that
    // cannot be used is refused before anything starts.
    ProxySettings proxy = {};
    char* proxyFailure = nullptr;
    if (!ReadSystemProxySettings(&proxy, &proxyFailure)) {
        Warn(proxyFailure != nullptr ? proxyFailure : "", appState.nextButton);
        std::free(proxyFailure);
        return;
    }
    TakeRunProxySettings(&proxy);
    // The run reads these controls once at its start; they stay disabled
    // until the user goes back and loads again.
    EnableOptions(FALSE);
    ForgetFailureSentences();
    // Running from here on, before the thread exists: a close handled before
    // the thread gets going asks first and then stops the run, which then
    // ends the process itself, never in the middle of its backup.
    coreState.running = 1;
    if (!StartDetachedThread(RunInWindow, WindowRunView())) {
        coreState.running = 0;
        ShowMessage(MESSAGE_RUN_THREAD_FAILED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProgram(-1);
    }
}

void RequestClose() {
    if (!coreState.running) {
        EndProgram(0);
        return;
    }
    int answer = ShowMessage(QUESTION_CLOSE_WHILE_RUNNING, CAPTION_CONFIRM, MESSAGE_OK_CANCEL | MESSAGE_ICON_QUESTION);
    if (answer != ANSWER_OK) return;
    // The run may have ended while the question was open.
    if (!coreState.running) {
        EndProgram(0);
        return;
    }
    StopRunForClose();
}

void QueryEndSession() {
    if (!coreState.running) return;
    // Looked up at run time: only Vista and later have it.
    FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), "ShutdownBlockReasonCreate");
    if (found != nullptr) {
        reinterpret_cast<ShutdownBlockReasonCreateFunction>(reinterpret_cast<void (*)(void)>(found))(
            appState.mainWindow, REASON_SAVING_PACKAGE);
    }
    if (!coreState.stopRequested) StopRunForClose();
}

void EndSession(bool ending) {
    if (!ending || !coreState.running) return;
    if (!coreState.stopRequested) StopRunForClose();
    // The run sends its window messages and waits for each, so only sent
    // messages are served here; posted ones (clicks) stay queued, nothing
    // new may start now.  The run ends the process after the write-back; a
    // run that finished meanwhile leaves the end to the system.
    while (coreState.running) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, END_SESSION_POLL_MS, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        // Boxes the run raises meanwhile (a failed write-back) are shown
        // here, or the run would wait for them for ever.
        while (PeekMessageW(&message, appState.mainWindow, WM_SHOW_QUEUED_BOX, WM_SHOW_QUEUED_BOX, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}
