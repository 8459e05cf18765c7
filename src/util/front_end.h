// The few things core code asks of whichever front end is running it.
//
// Core code never shows a window by itself: it raises a message box through
// ShowMessage.  The Win32 program passes it to MessageBoxA (owned by the
// main window); the command line prints it; tests record the calls.  With
// no front end installed, messages go to stderr.  Core code never ends the
// process either: it returns its failures, and only a front end's own code
// ends the process.
#pragma once

#include <cstddef>

#include "texts/texts.h"

// Message box styles and answers, with the Win32 values so the Win32 front
// end can pass them through unchanged.
const unsigned MESSAGE_OK = 0x0;
const unsigned MESSAGE_OK_CANCEL = 0x1;
const unsigned MESSAGE_YES_NO_CANCEL = 0x3;
const unsigned MESSAGE_YES_NO = 0x4;
const unsigned MESSAGE_ICON_ERROR = 0x10;
const unsigned MESSAGE_ICON_QUESTION = 0x20;
const unsigned MESSAGE_ICON_WARNING = 0x30;
const unsigned MESSAGE_ICON_INFORMATION = 0x40;

const int ANSWER_OK = 1;
const int ANSWER_CANCEL = 2;
const int ANSWER_YES = 6;
const int ANSWER_NO = 7;

struct FrontEnd {
    // Shows a message with a caption (core form); returns the answer.
    int (*showMessage)(const char* text, const char* caption, unsigned style);
    // Writes one line (core form) to the console (standard output).
    void (*printLine)(const char* text);
};

// Installs the front end's functions; null members keep the defaults.
void SetFrontEnd(const FrontEnd* frontEnd);

int ShowMessage(const char* text, const char* caption, unsigned style);
void PrintLine(const char* text);

// The out-of-memory handler's message for `bytes`: "内存不足：无法分配 … 字节…".
void FormatOutOfMemoryMessage(size_t bytes, char* text, size_t size);
