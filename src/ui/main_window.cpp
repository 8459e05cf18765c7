#include "ui/main_window.h"

#include <commctrl.h>

#include <cstdio>

#include "relocate/run_inputs.h"
#include "ui/application_state.h"
#include "ui/message_boxes.h"
#include "ui/progress_view.h"
#include "ui/shell_utilities.h"
#include "texts/texts.h"
#include "ui/wide_text.h"
#include "ui/wizard.h"
#include "util/version.h"

const wchar_t MAIN_WINDOW_CLASS[] = L"CodeBlocksWindowsApp";
const char PRODUCT_NAME[] = "Karvelo";

namespace {

enum ParentPage { PARENT_MAIN, PARENT_PACKAGE_PAGE, PARENT_OPTIONS_PAGE };

// One control of the window: where its handle goes (null member for the
// hints and labels nobody refers to), its parent, class, text, styles beyond
// WS_CHILD | WS_VISIBLE, place in the parent's client area and id.
struct ControlLayout {
    HWND ApplicationState::*handle;
    ParentPage parent;
    const wchar_t* className;
    const char* text;  // core form
    DWORD extendedStyle;
    DWORD style;
    int x, y, width, height;
    int id;
};

const DWORD EDGE = WS_EX_CLIENTEDGE;
const DWORD PUSH = BS_PUSHBUTTON;

// In creation order, which is also the stacking order among siblings.
const ControlLayout CONTROLS[] = {
    {&ApplicationState::packagePanel, PARENT_MAIN, L"static", TEXT_PANEL, 0, SS_BITMAP, 0, 0, 680, 483, ID_PAGE_PANEL},
    {&ApplicationState::packageHeading, PARENT_PACKAGE_PAGE, L"static", TEXT_PACKAGE_HEADING, 0, SS_NOTIFY, 21, 13, 500,
     32, 0},
    {nullptr, PARENT_PACKAGE_PAGE, L"static", TEXT_PACKAGE_HINT, 0, SS_NOTIFY, 21, 43, 500, 28, 0},
    {&ApplicationState::packagePathEdit, PARENT_PACKAGE_PAGE, L"edit", "", EDGE, ES_READONLY | ES_AUTOHSCROLL, 20, 161,
     442, 22, ID_PACKAGE_PATH},
    {&ApplicationState::choosePackageButton, PARENT_PACKAGE_PAGE, L"button", TEXT_CHOOSE_PACKAGE, 0, PUSH, 471, 160,
     100, 24, ID_CHOOSE_PACKAGE},
    {&ApplicationState::noticeBox, PARENT_PACKAGE_PAGE, L"edit", "", 0, ES_READONLY | ES_MULTILINE | ES_AUTOVSCROLL, 20,
     211, 635, 263, ID_NOTICE_BOX},
    {&ApplicationState::optionsPanel, PARENT_MAIN, L"static", TEXT_PANEL, 0, SS_BITMAP, 0, 0, 680, 483, ID_PAGE_PANEL},
    {&ApplicationState::optionsHeading, PARENT_OPTIONS_PAGE, L"static", TEXT_OPTIONS_HEADING, 0, SS_NOTIFY, 21, 13, 500,
     32, 0},
    {nullptr, PARENT_OPTIONS_PAGE, L"static", TEXT_OPTIONS_HINT, 0, SS_NOTIFY, 21, 43, 500, 28, 0},
    {&ApplicationState::imageSpaceCheck, PARENT_OPTIONS_PAGE, L"button", TEXT_IMAGE_SPACE, 0, BS_AUTOCHECKBOX, 17, 90,
     182, 21, ID_IMAGE_SPACE},
    {&ApplicationState::thirdPartyCheck, PARENT_OPTIONS_PAGE, L"button", TEXT_THIRD_PARTY, 0, BS_AUTOCHECKBOX, 216, 90,
     172, 21, ID_THIRD_PARTY},
    {&ApplicationState::blankFailedCheck, PARENT_OPTIONS_PAGE, L"button", TEXT_BLANK_FAILED, 0, BS_AUTOCHECKBOX, 403,
     90, 211, 21, ID_BLANK_FAILED},
    {nullptr, PARENT_OPTIONS_PAGE, L"static", TEXT_DESTINATION_LABEL, 0, SS_NOTIFY, 16, 129, 78, 20, 0},
    {&ApplicationState::destinationEdit, PARENT_OPTIONS_PAGE, L"edit", "", EDGE, ES_READONLY | ES_AUTOHSCROLL, 93, 125,
     475, 22, ID_DESTINATION},
    {&ApplicationState::chooseDestinationButton, PARENT_OPTIONS_PAGE, L"button", TEXT_CHOOSE_DESTINATION, 0, PUSH, 575,
     124, 82, 24, ID_CHOOSE_DESTINATION},
    {&ApplicationState::itemList, PARENT_OPTIONS_PAGE, WC_LISTVIEWW, nullptr, EDGE,
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 16, 167, 640, 144, 0},
    {nullptr, PARENT_OPTIONS_PAGE, L"static", TEXT_FAILURES_LABEL, 0, SS_NOTIFY, 17, 320, 223, 22, 0},
    {&ApplicationState::failureText, PARENT_OPTIONS_PAGE, L"edit", "", EDGE, WS_VSCROLL | ES_READONLY | ES_MULTILINE,
     17, 339, 640, 89, ID_FAILURE_TEXT},
    {&ApplicationState::progressBar, PARENT_OPTIONS_PAGE, PROGRESS_CLASSW, "", 0, 0, 17, 435, 640, 21, 0},
    {&ApplicationState::progressText, PARENT_OPTIONS_PAGE, L"static", nullptr, 0, SS_NOTIFY, 17, 462, 640, 20, 0},
    {&ApplicationState::previousButton, PARENT_MAIN, L"button", TEXT_PREVIOUS, 0, PUSH, 387, 499, 86, 25, ID_PREVIOUS},
    {&ApplicationState::nextButton, PARENT_MAIN, L"button", TEXT_NEXT, 0, PUSH, 482, 499, 86, 25, ID_NEXT},
    {&ApplicationState::closeButton, PARENT_MAIN, L"button", TEXT_CLOSE, 0, PUSH, 577, 499, 86, 25, ID_CLOSE},
    {&ApplicationState::helpLink, PARENT_MAIN, L"static", TEXT_HELP_LINK, 0, SS_NOTIFY, 13, 504, 128, 17, ID_HELP_LINK},
    {&ApplicationState::siteLink, PARENT_MAIN, L"static", TEXT_SITE_LINK, 0, SS_NOTIFY, 157, 504, 60, 17, ID_SITE_LINK},
};

HWND ParentWindow(ParentPage parent, HWND mainWindow) {
    switch (parent) {
        case PARENT_PACKAGE_PAGE: return appState.packagePanel;
        case PARENT_OPTIONS_PAGE: return appState.optionsPanel;
        case PARENT_MAIN: break;
    }
    return mainWindow;
}

BOOL CALLBACK ApplyFontToWindow(HWND window, LPARAM) {
    if (window == nullptr) return FALSE;
    ApplyDefaultFont(window);
    return TRUE;
}

// WM_CREATE of the main window, once.
void BuildMainWindow(HWND window) {
    appState.mainWindow = window;
    CreateMainControls(window, appState.instance);
    // Also reaches the grandchildren on the pages.
    EnumChildWindows(window, ApplyFontToWindow, 0);
    // The panels' static-control procedure is dropped, not chained: what
    // MainWindowProc leaves goes to DefWindowProcW.  Set through the W call,
    // so the panels stay Unicode windows.
    SetWindowLongPtrW(appState.packagePanel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MainWindowProc));
    SetWindowLongPtrW(appState.optionsPanel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MainWindowProc));

    SetControlFont(appState.packageHeading, FONT_FACE_SONG, HEADING_FONT_HEIGHT, HEADING_FONT_WEIGHT, 1, 0);
    SetControlFont(appState.optionsHeading, FONT_FACE_SONG, HEADING_FONT_HEIGHT, HEADING_FONT_WEIGHT, 1, 0);
    SetControlFont(appState.helpLink, FONT_FACE_SONG, LINK_FONT_HEIGHT, LINK_FONT_WEIGHT, 0, 0);
    SetControlFont(appState.siteLink, FONT_FACE_SONG, LINK_FONT_HEIGHT, LINK_FONT_WEIGHT, 0, 0);

    SetUpItemList(appState.itemList);

    // Page 1 first; both image sources on, blank replacement off.
    ShowWindow(appState.optionsPanel, SW_HIDE);
    SendMessageW(appState.imageSpaceCheck, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(appState.thirdPartyCheck, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(appState.previousButton, SW_HIDE);
}

void HandleCommand(int id) {
    switch (id) {
        case ID_CHOOSE_PACKAGE: ChoosePackage(); break;
        case ID_CHOOSE_DESTINATION: ChooseDestination(); break;
        case ID_PREVIOUS: GoBackToPackagePage(); break;
        case ID_NEXT:
            if (appState.wizardStep == 1) {
                LoadChosenPackage();
            } else {
                StartRun();
            }
            break;
        case ID_CLOSE: SendMessageW(appState.mainWindow, WM_CLOSE, 0, 0); break;
        default:
            // Among the ignored ids: the link labels' own notifications.
            break;
    }
}

// WM_CTLCOLORSTATIC: links blue, read-only edits white, the check boxes and
// the two boxes of changing text in system colours, every other static text
// transparent over the painted background.
LRESULT ControlColour(HWND window, HDC context, HWND control) {
    const ApplicationState& s = appState;
    if (control == s.helpLink || control == s.siteLink) {
        SetTextColor(context, LINK_TEXT_COLOUR);
    } else if (control == s.packagePathEdit || control == s.destinationEdit || control == s.failureText) {
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    } else if (control == s.imageSpaceCheck || control == s.thirdPartyCheck || control == s.blankFailedCheck ||
               control == s.progressText || control == s.noticeBox) {
        SetBkMode(context, OPAQUE);
        return DefWindowProcW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                              reinterpret_cast<LPARAM>(control));
    }
    SetBkMode(context, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

}  // namespace

void FormatMainWindowTitle(char* title, size_t size) {
    std::snprintf(title, size, "%s(V%0.1f)", PRODUCT_NAME, PROGRAM_VERSION);
}

void CreateMainControls(HWND window, HINSTANCE instance) {
    char itemCountText[64];
    std::snprintf(itemCountText, sizeof itemCountText, FORMAT_ITEM_COUNT, 0);
    for (const ControlLayout& layout : CONTROLS) {
        const char* text = layout.handle == &ApplicationState::progressText ? itemCountText : layout.text;
        WideText wide(text);
        HWND control = CreateWindowExW(layout.extendedStyle, layout.className, text != nullptr ? wide.get() : nullptr,
                                       WS_CHILD | WS_VISIBLE | layout.style, layout.x, layout.y, layout.width,
                                       layout.height, ParentWindow(layout.parent, window),
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), instance, nullptr);
        if (layout.handle != nullptr) appState.*layout.handle = control;
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            if (appState.mainWindow == nullptr) BuildMainWindow(window);
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_ACTIVATE:
            // Painted in due course, at the size the window has by then;
            // the default handling still gives the focus.
            if (LOWORD(wParam) != WA_INACTIVE) InvalidateRect(window, nullptr, FALSE);
            break;
        case WM_SIZE:
            if (window == appState.mainWindow) FollowClientSize(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_PAINT: PaintBackground(window); return 0;
        case WM_ERASEBKGND:
            // The paint handler covers the whole client area.
            return 1;
        case WM_CLOSE: RequestClose(); return 0;
        case WM_QUERYENDSESSION: QueryEndSession(); return TRUE;
        case WM_ENDSESSION: EndSession(wParam != FALSE); return 0;
        case WM_COMMAND:
            // Menu and accelerator commands carry no control handle.
            if (lParam != 0) HandleCommand(LOWORD(wParam));
            return 0;
        case WM_DROPFILES: TakeDroppedFiles(reinterpret_cast<HDROP>(wParam)); return 0;
        case WM_NOTIFY: {
            // From the list itself (through its panel) or sent by the run.
            const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header != nullptr && header->hwndFrom == appState.itemList) {
                if (header->code == LVN_ITEMCHANGED) ShowFailuresOfSelection();
                if (header->code == LVN_GETINFOTIPW) FillInfoTip(reinterpret_cast<NMLVGETINFOTIPW*>(lParam));
            }
            return 0;
        }
        case WM_CTLCOLORSTATIC:
            return ControlColour(window, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_SHOW_QUEUED_BOX: ServeQueuedBoxes(lParam); return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
