#include "ui/wizard.h"

#include <windows.h>

#include "ui/application_state.h"
#include "ui/ui_texts.h"
#include "util/front_end.h"

void RequestClose() {
    if (!appState.running) {
        EndProcess(0);
        return;
    }
    int answer = ShowMessage(QUESTION_CLOSE_WHILE_RUNNING, CAPTION_CONFIRM, MESSAGE_OK_CANCEL | MESSAGE_ICON_QUESTION);
    if (answer != ANSWER_OK) return;
    // The run may have ended while the question was open.
    if (!appState.running) {
        EndProcess(0);
        return;
    }
    appState.stopRequested = 1;
    EnableWindow(appState.closeButton, FALSE);
    EnableMenuItem(GetSystemMenu(appState.mainWindow, FALSE), SC_CLOSE, MF_GRAYED);
}
