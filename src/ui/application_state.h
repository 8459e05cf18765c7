// ApplicationState: the Win32 program's own record: its wizard page and the
// handles of its window and controls.  The user-interface thread writes it;
// other threads only read the handles (to send messages).  What the core
// shares between threads is in relocate/core_state.h.
#pragma once

#include <windows.h>

#include "relocate/core_state.h"

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
};

// The single instance, for the whole process.
extern ApplicationState appState;
