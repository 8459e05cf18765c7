#include "ui/progress_view.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "package/item_record.h"
#include "ui/application_state.h"
#include "texts/texts.h"
#include "ui/wide_text.h"
#include "ui/window_run_view.h"

namespace {

struct ColumnLayout {
    const char* header;
    int width;
    int format;
};

const ColumnLayout COLUMNS[] = {
    {TEXT_COLUMN_TITLE, 340, LVCFMT_LEFT},
    {TEXT_COLUMN_STATE, 80, LVCFMT_CENTER},
    {TEXT_COLUMN_DESKTOP_FAILED, 96, LVCFMT_CENTER},
    {TEXT_COLUMN_MOBILE_FAILED, 96, LVCFMT_CENTER},
};

// The painted background's bitmap and size; the memory context holding it
// is appState.paintCache.
HBITMAP paintCacheBitmap = nullptr;
HGDIOBJ paintCacheFirstBitmap = nullptr;  // the context's own, put back before it is deleted
int paintCacheWidth = 0;
int paintCacheHeight = 0;

void ReleasePaintCache() {
    if (appState.paintCache == nullptr) return;
    SelectObject(appState.paintCache, paintCacheFirstBitmap);
    DeleteObject(paintCacheBitmap);
    DeleteDC(appState.paintCache);
    appState.paintCache = nullptr;
    paintCacheBitmap = nullptr;
}

// Room kept at the end of a failure text for the left-out line.
const size_t LEFT_OUT_LINE_BYTES = 96;

// Appends to a text of bounded size; what does not fit before `limit` is
// not written at all.
struct BoundedText {
    char* text;
    size_t length;
    size_t limit;  // the most bytes before the NUL
    int leftOut;   // addresses that did not fit

    bool Fits(size_t more) const { return length + more <= limit; }
    void Append(const char* piece, size_t pieceLength) {
        std::memcpy(text + length, piece, pieceLength);
        length += pieceLength;
        text[length] = '\0';
    }
    // A heading or a separator: written only when it fits.
    bool AppendWhole(const char* piece) {
        size_t pieceLength = std::strlen(piece);
        if (!Fits(pieceLength)) return false;
        Append(piece, pieceLength);
        return true;
    }
};

// A heading and the addresses of one list, as many as fit.
void AppendFailureList(BoundedText* out, const char* heading, const Vector* urls) {
    bool open = out->AppendWhole(heading);
    for (int32_t i = 0; i < urls->count; ++i) {
        const char* url = static_cast<const char*>(urls->items[i]);
        size_t urlLength = std::strlen(url);
        if (open && out->leftOut == 0 && out->Fits(2 + urlLength)) {
            out->Append("\r\n", 2);
            out->Append(url, urlLength);
        } else {
            ++out->leftOut;
        }
    }
}

// One failed address with its sentence on an indented line below it, whole
// or not at all; after the first one left out, every later one is too.
void AppendTipEntry(BoundedText* out, const char* url) {
    char sentence[FAILURE_SENTENCE_BYTES];
    bool known = CopyFailureSentence(url, sentence, sizeof sentence);
    const char* separator = out->length > 0 ? "\r\n" : "";
    const char* indent = known ? "\r\n  " : "";
    size_t urlLength = std::strlen(url);
    size_t sentenceLength = known ? std::strlen(sentence) : 0;
    if (out->leftOut > 0 || !out->Fits(std::strlen(separator) + urlLength + std::strlen(indent) + sentenceLength)) {
        ++out->leftOut;
        return;
    }
    out->AppendWhole(separator);
    out->Append(url, urlLength);
    out->AppendWhole(indent);
    out->Append(sentence, sentenceLength);
}

// The count of what was left out, after `separator`, in the room kept for it.
void AppendLeftOutLine(BoundedText* out, size_t size, const char* separator) {
    if (out->leftOut == 0) return;
    char line[LEFT_OUT_LINE_BYTES];
    int length = std::snprintf(line, sizeof line, "%s", separator);
    length += std::snprintf(line + length, sizeof line - length, FORMAT_FAILURES_LEFT_OUT, out->leftOut);
    out->limit = size - 1;
    out->AppendWhole(line);
}

// The record behind a row of the item list, or null.
const ItemRecord* RecordOfRow(HWND list, int row) {
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
    return reinterpret_cast<const ItemRecord*>(item.lParam);
}

// Only a finished item's lists are settled; the run may still be filling
// those of the others.
bool HasSettledFailures(const ItemRecord* record) {
    return record != nullptr && record->state == ITEM_STATE_DONE &&
           (FailedDesktopUrls(record) != nullptr || FailedMobileUrls(record) != nullptr);
}

// A line in a system colour, with a pen made for it and deleted after it.
void DrawLine(HDC context, int colourIndex, int fromX, int fromY, int toX, int toY) {
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(colourIndex));
    HGDIOBJ previous = SelectObject(context, pen);
    MoveToEx(context, fromX, fromY, nullptr);
    LineTo(context, toX, toY);
    SelectObject(context, previous);
    DeleteObject(pen);
}

void DrawBackground(HDC context, int width, int height) {
    RECT all = {-10, -10, width + 20, height + 20};
    FillRect(context, &all, GetSysColorBrush(COLOR_BTNFACE));

    // The band's other edges lie outside the client area, so only its
    // bottom line at y = 71 shows.
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HGDIOBJ previousPen = SelectObject(context, pen);
    HGDIOBJ previousBrush = SelectObject(context, GetSysColorBrush(COLOR_WINDOW));
    Rectangle(context, -1, -1, BACKGROUND_WIDTH, HEADER_BAND_BOTTOM);
    SelectObject(context, previousBrush);
    SelectObject(context, previousPen);
    DeleteObject(pen);

    DrawLine(context, COLOR_BTNSHADOW, 0, BUTTON_ROW_SEPARATOR_Y, BACKGROUND_WIDTH, BUTTON_ROW_SEPARATOR_Y);
    DrawLine(context, COLOR_3DDKSHADOW, 0, BUTTON_ROW_SEPARATOR_Y + 1, BACKGROUND_WIDTH, BUTTON_ROW_SEPARATOR_Y + 1);
    DrawLine(context, COLOR_BTNSHADOW, LINK_SEPARATOR_X, LINK_SEPARATOR_TOP, LINK_SEPARATOR_X, LINK_SEPARATOR_BOTTOM);
}

}  // namespace

void PaintBackground(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    // Always made at the main window's client size, which holds everything;
    // the panels start at (0, 0) of it, so they copy the same top-left part.
    RECT main;
    GetClientRect(appState.mainWindow, &main);
    int mainWidth = main.right - main.left;
    int mainHeight = main.bottom - main.top;
    PAINTSTRUCT paint;
    HDC context = BeginPaint(window, &paint);
    // A minimized window has no client area: nothing to build from, and
    // nothing shows; restoring it paints again.
    if (appState.paintCache == nullptr && mainWidth > 0 && mainHeight > 0) {
        HDC cache = CreateCompatibleDC(context);
        HBITMAP bitmap = CreateCompatibleBitmap(context, mainWidth, mainHeight);
        if (cache != nullptr && bitmap != nullptr) {
            paintCacheFirstBitmap = SelectObject(cache, bitmap);
            DrawBackground(cache, mainWidth, mainHeight);
            appState.paintCache = cache;
            paintCacheBitmap = bitmap;
            paintCacheWidth = mainWidth;
            paintCacheHeight = mainHeight;
        } else {
            if (bitmap != nullptr) DeleteObject(bitmap);
            if (cache != nullptr) DeleteDC(cache);
        }
    }
    if (appState.paintCache != nullptr) BitBlt(context, 0, 0, width, height, appState.paintCache, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
}

void FollowClientSize(int width, int height) {
    // Minimizing leaves a 0 x 0 client area: the cache waits for the restore.
    if (width <= 0 || height <= 0) return;
    if (appState.paintCache == nullptr || (width == paintCacheWidth && height == paintCacheHeight)) return;
    ReleasePaintCache();
    RedrawWindow(appState.mainWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void SetSubItemText(HWND list, int row, int subItem, const char* text) {
    WideText wide(text);
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.iSubItem = subItem;
    item.pszText = const_cast<wchar_t*>(wide.get());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void SetUpItemList(HWND list) {
    const DWORD extended = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    // A tooltip breaks its text at line ends only once it has a width.
    HWND tooltip = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETTOOLTIPS, 0, 0));
    if (tooltip != nullptr) SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, INFO_TIP_WIDTH);
    // No image is ever added: the list only makes every row 19 pixels high.
    HIMAGELIST rowHeight = ImageList_Create(1, ITEM_ROW_HEIGHT, ILC_COLOR24 | ILC_MASK, 3, 1);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight));
    int index = 0;
    for (const ColumnLayout& layout : COLUMNS) {
        WideText header(layout.header);
        LVCOLUMNW column;
        std::memset(&column, 0, sizeof column);
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = layout.format;
        column.cx = layout.width;
        column.pszText = const_cast<wchar_t*>(header.get());
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++), reinterpret_cast<LPARAM>(&column));
    }
}

void AddItemRow(const ItemRecord* record) {
    // Any character of the package shows, an emoji as its surrogate pair.
    WideText title(record->title);
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    item.iItem = record->index;
    item.pszText = const_cast<wchar_t*>(title.get());
    item.iImage = 0;
    item.lParam = reinterpret_cast<LPARAM>(record);
    SendMessageW(appState.itemList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    SetSubItemText(appState.itemList, record->index, 1, TEXT_ITEM_WAITING);
    SetSubItemText(appState.itemList, record->index, 2, "");
    SetSubItemText(appState.itemList, record->index, 3, "");
}

void BuildFailureText(const ItemRecord* record, char* text, size_t size) {
    std::memset(text, 0, size);
    if (size <= LEFT_OUT_LINE_BYTES) return;
    BoundedText out = {text, 0, size - 1 - LEFT_OUT_LINE_BYTES, 0};
    if (FailedDesktopUrls(record) != nullptr) {
        AppendFailureList(&out, TEXT_DESKTOP_FAILURES, FailedDesktopUrls(record));
    }
    if (FailedMobileUrls(record) != nullptr) {
        // After a cut list the mobile part is left out whole, so no heading
        // stands without its addresses.
        bool separated = out.leftOut == 0 && (out.length == 0 || out.AppendWhole("\r\n\r\n"));
        if (separated) {
            AppendFailureList(&out, TEXT_MOBILE_FAILURES, FailedMobileUrls(record));
        } else {
            out.leftOut += FailedMobileUrls(record)->count;
        }
    }
    AppendLeftOutLine(&out, size, "\r\n\r\n");
}

void BuildInfoTipText(const ItemRecord* record, char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    if (size <= LEFT_OUT_LINE_BYTES) return;
    BoundedText out = {text, 0, size - 1 - LEFT_OUT_LINE_BYTES, 0};
    for (const Vector* urls : {FailedDesktopUrls(record), FailedMobileUrls(record)}) {
        for (int32_t i = 0; urls != nullptr && i < urls->count; ++i) {
            AppendTipEntry(&out, static_cast<const char*>(urls->items[i]));
        }
    }
    AppendLeftOutLine(&out, size, out.length > 0 ? "\r\n" : "");
}

void FillInfoTip(NMLVGETINFOTIPW* tip) {
    if (tip->pszText == nullptr || tip->cchTextMax <= 0) return;
    tip->pszText[0] = L'\0';
    const ItemRecord* record = RecordOfRow(appState.itemList, tip->iItem);
    if (!HasSettledFailures(record)) return;
    // Built in the core's form within as many bytes as the buffer has
    // units: a GB18030 character never takes more units than bytes.
    char text[FAILURE_TEXT_BYTES];
    const size_t units = static_cast<size_t>(tip->cchTextMax);
    BuildInfoTipText(record, text, units < sizeof text ? units : sizeof text);
    WideText wide(text);
    std::wcsncpy(tip->pszText, wide.get(), units - 1);
    tip->pszText[units - 1] = L'\0';
}

void ShowFailuresOfSelection() {
    HWND list = appState.itemList;
    if (SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) < 1) {
        SetWindowTextW(appState.failureText, L"");
        return;
    }
    int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        if (!(SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED)) continue;
        const ItemRecord* record = RecordOfRow(list, row);
        if (!HasSettledFailures(record)) {
            SetWindowTextW(appState.failureText, L"");
            continue;
        }
        static char text[FAILURE_TEXT_BYTES];
        BuildFailureText(record, text, sizeof text);
        SetWindowCoreText(appState.failureText, text);
    }
}
