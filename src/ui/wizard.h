// What the main window does when the user acts: the two pages of the
// wizard, loading the package, checking the inputs, starting the run and
// closing.  Every handler runs on the window's thread.
#pragma once

#include <windows.h>
#include <shellapi.h>

// 选择CSV文件...: the chosen path goes into the path box; nothing is loaded.
void ChoosePackage();

// A drop on page 1: the first dropped name ending in ".csv" (any case) goes
// into the path box.
void TakeDroppedFiles(HDROP drop);

// 下一步 on page 1: loads the package and shows page 2, or tells why not.
void LoadChosenPackage();

// 上一步: back to page 1; what was loaded stays until the next load.
void GoBackToPackagePage();

// 选择...: the destination folder.
void ChooseDestination();

// 开始搬家: checks the options and the destination, then starts the run on
// its own thread with the controls it reads disabled.
void StartRun();

// WM_CLOSE: with no run the process ends at once (code 0); during a run the
// user confirms first and the run is told to stop, after which it writes the
// package back and ends the process itself.
void RequestClose();

// WM_QUERYENDSESSION: during a run, asks the system to wait (with a reason
// where the system can show one) and stops the run as a confirmed close
// does, without asking.
void QueryEndSession();

// WM_ENDSESSION: when the session ends during a run, waits until the run
// has written the package back and ended the process, serving meanwhile
// the messages the run sends to the window.
void EndSession(bool ending);
