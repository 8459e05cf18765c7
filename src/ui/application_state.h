// ApplicationState: the one process-wide record the threads share.
//
// The portable fields serve both front ends; the window handles exist only
// in the Win32 build.  Sharing rules: `running` is written only by the run;
// `stopRequested` only ever goes from 0 to 1; while `running` is 1 the user
// interface leaves packagePath, items and packageText alone.
#pragma once

#include <atomic>

#include "platform/fs.h"
#include "util/hash_map.h"
#include "util/vector.h"

#ifdef _WIN32
#include <windows.h>
#endif

struct ApplicationState {
    char programFolder[MAX_PATH_BYTES] = {};  // folder of the program file; "bak" and "app.log" live there
    int wizardStep = 1;                       // 1 or 2
    char packagePath[MAX_PATH_BYTES] = {};    // full path of the package being worked on
    Vector* items = nullptr;                  // ItemRecord*, in package order; null until the first load
    char* packageText = nullptr;              // the whole package as GBK, owned; null when none
    HashMap* urlMap = nullptr;                // the run's address map
    // The two flags are whole ints read and written by several threads;
    // atomics make that well defined without any lock.
    std::atomic<int> stopRequested{0};        // 0 -> 1 only
    std::atomic<int> running{0};              // written by the run only
#ifdef _WIN32
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HDC paintCache = nullptr;
#endif
};

// The single instance, for the whole process.
extern ApplicationState appState;
