#include "ui/progress_view.h"

#include "ui/application_state.h"

namespace {

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
    PAINTSTRUCT paint;
    HDC context = BeginPaint(window, &paint);
    if (appState.paintCache == nullptr) {
        // Made at the size of the first window that paints (normally the
        // main window, whose client area holds everything); the panels start
        // at (0, 0) of it, so they copy the same top-left part.
        HDC cache = CreateCompatibleDC(context);
        HBITMAP bitmap = CreateCompatibleBitmap(context, width, height);
        SelectObject(cache, bitmap);
        DrawBackground(cache, width, height);
        appState.paintCache = cache;
    }
    BitBlt(context, 0, 0, width, height, appState.paintCache, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
}
