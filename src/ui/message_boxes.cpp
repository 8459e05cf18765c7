#include "ui/message_boxes.h"

#include "ui/application_state.h"
#include "ui/wide_text.h"

namespace {

struct BoxRequest {
    const char* text;
    const char* caption;
    unsigned style;
    int answer;
    HANDLE answered;  // set once `answer` holds the reply
};

// Each thread that raises a box waits for it, so the queue holds at most
// one box per thread (the run's and the start-up thread's).
const int QUEUE_CAPACITY = 16;
BoxRequest* queue[QUEUE_CAPACITY];
int queued = 0;
// Boxes open on the window's thread right now, its own included.
int openBoxes = 0;
DWORD userInterfaceThread = 0;

int ShowOwnedBox(const char* text, const char* caption, unsigned style) {
    WideText wideText(text), wideCaption(caption);
    ++openBoxes;
    int answer = MessageBoxW(appState.mainWindow, wideText.get(), wideCaption.get(), style);
    --openBoxes;
    // Boxes queued while this one was open come once it is closed, from the
    // message loop.
    if (openBoxes == 0 && queued > 0) PostMessageW(appState.mainWindow, WM_SHOW_QUEUED_BOX, 0, 0);
    return answer;
}

}  // namespace

void SetUserInterfaceThread() { userInterfaceThread = GetCurrentThreadId(); }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (appState.mainWindow == nullptr || GetCurrentThreadId() == userInterfaceThread) {
        return ShowOwnedBox(text, caption, style);
    }
    BoxRequest request = {text, caption, style, 0, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (request.answered == nullptr ||
        !PostMessageW(appState.mainWindow, WM_SHOW_QUEUED_BOX, 0, reinterpret_cast<LPARAM>(&request))) {
        // No way to reach the window: the box is still shown, from here.
        if (request.answered != nullptr) CloseHandle(request.answered);
        WideText wideText(text), wideCaption(caption);
        return MessageBoxW(nullptr, wideText.get(), wideCaption.get(), style);
    }
    WaitForSingleObject(request.answered, INFINITE);
    CloseHandle(request.answered);
    return request.answer;
}

void ServeQueuedBoxes(LPARAM raw) {
    BoxRequest* request = reinterpret_cast<BoxRequest*>(raw);
    if (request != nullptr) {
        if (queued == QUEUE_CAPACITY) {
            // Cannot happen (one box per waiting thread); answer rather than hang.
            request->answer = ShowOwnedBox(request->text, request->caption, request->style);
            SetEvent(request->answered);
            return;
        }
        queue[queued++] = request;
    }
    // A box is open on this thread (this message came through its modal
    // loop): the queued ones follow when it closes.
    if (openBoxes > 0) return;
    while (queued > 0) {
        BoxRequest* next = queue[0];
        for (int i = 1; i < queued; ++i) queue[i - 1] = queue[i];
        --queued;
        next->answer = ShowOwnedBox(next->text, next->caption, next->style);
        SetEvent(next->answered);
    }
}
