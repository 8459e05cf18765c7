// ApplicationState: the one process-wide record the threads share.
//
// The portable fields serve both front ends; the window handles exist only
// in the Win32 build.  Sharing rules: `running` is written only by the run;
// `stopRequested` only ever goes from 0 to 1; while `running` is 1 the user
// interface leaves packagePath, items and packageText alone.
#pragma once

#include <atomic>

#include "platform/fs.h"
#include "package/item_record.h"
#include "util/hash_map.h"

#ifdef _WIN32
#include <windows.h>
#endif

struct ApplicationState {
    char programFolder[MAX_PATH_BYTES] = {};  // folder of the program file
    char stateFolder[MAX_PATH_BYTES] = {};    // where "bak" and "app.log" live (ChooseStateFolder)
    int wizardStep = 1;                       // 1 or 2
    char packagePath[MAX_PATH_BYTES] = {};    // full path of the package being worked on
    ItemList* items = nullptr;                // in package order; null until the first load
    char* packageText = nullptr;              // the whole package as GBK, owned; null when none
    HashMap* urlMap = nullptr;                // the run's address map
    // The two flags are whole ints read and written by several threads;
    // atomics make that well defined without any lock.
    std::atomic<int> stopRequested{0};        // 0 -> 1 only
    std::atomic<int> running{0};              // written by the run only
#ifdef _WIN32
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;                // null until its first WM_CREATE
    HDC paintCache = nullptr;                 // the painted background, made on first paint
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
#endif
};

// The single instance, for the whole process.
extern ApplicationState appState;
