// ApplicationState: the Win32 program's own record: its wizard page, the
// handles of its window and controls, and the failed images' sentences.
// The user-interface thread writes it; other threads only read the handles
// (to send messages) and write the sentences under their lock.  What the
// core shares between threads is in relocate/core_state.h.
#pragma once

#include <windows.h>

#include "relocate/core_state.h"

struct Mutex;

// Why each image of this run failed, in the user's words, for the item
// list's info tips: the run's thread adds a sentence as an image fails while
// the user-interface thread may look up another row's, so both go through
// `lock` (ui/window_run_view.h).  Made before the first run starts, emptied
// before each next one.
struct FailureSentences {
    Mutex* lock = nullptr;
    HashMap* byUrl = nullptr;  // failed URL -> its sentence, both heap strings the map owns
};

struct ApplicationState {
    int wizardStep = 1;  // 1 or 2
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;  // null until its first WM_CREATE
    HDC paintCache = nullptr;   // the painted background, made on first paint
    // The controls of the main window, created once and never destroyed.
    // Page 1 (children of packagePanel):
    HWND packagePanel = nullptr;
    HWND packageHeading = nullptr;
    HWND packagePathEdit = nullptr;
    HWND choosePackageButton = nullptr;
    HWND noticeBox = nullptr;
    // Page 2 (children of optionsPanel, which the run reads the options from):
    HWND optionsPanel = nullptr;
    HWND optionsHeading = nullptr;
    HWND imageSpaceCheck = nullptr;
    HWND thirdPartyCheck = nullptr;
    HWND blankFailedCheck = nullptr;
    HWND destinationEdit = nullptr;
    HWND chooseDestinationButton = nullptr;
    HWND itemList = nullptr;
    HWND failureText = nullptr;
    HWND progressBar = nullptr;
    HWND progressText = nullptr;
    // Along the bottom of the main window:
    HWND previousButton = nullptr;
    HWND nextButton = nullptr;
    HWND closeButton = nullptr;
    HWND helpLink = nullptr;
    HWND siteLink = nullptr;
    FailureSentences failureSentences;
};

// The single instance, for the whole process.
extern ApplicationState appState;
