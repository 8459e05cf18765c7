// The few things core code asks of whichever front end is running it.
//
// Core code never shows a window or ends the process by itself: it raises a
// message box through ShowMessage and ends the process through EndProcess.
// The Win32 program passes them to MessageBoxA (owned by the main window) and
// ExitProcess; the command line prints and exits with its own codes; tests
// record the calls.  With no front end installed, messages go to stderr and
// EndProcess calls exit().
#pragma once

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
    // Ends the process with `code`.  Only a test's version returns; core code
    // then unwinds with its failure result.
    void (*endProcess)(int code);
    // Writes one line (core form) to the console (standard output).
    void (*printLine)(const char* text);
};

// Installs the front end's functions; null members keep the defaults.
void SetFrontEnd(const FrontEnd* frontEnd);

int ShowMessage(const char* text, const char* caption, unsigned style);
void EndProcess(int code);
void PrintLine(const char* text);

// The common case: an error box with the caption "错误", then the end of the
// process with code 0 (the package is left as the failing step found it).
void ShowErrorAndEnd(const char* text);
