// RunView: the one seam between a relocation run and whoever shows it.
//
// The run never touches a window or a terminal.  The front end fills a
// RunView before it starts a run; the run calls it in a fixed order that
// maps one to one onto the window messages of the Win32 program:
//
//   backupMade(path)                  once the backup is whole (the command line notes it)
//   readOptions                       once, at the start
//   per item i:
//     itemStarted(i)                  LVM_ENSUREVISIBLE, sub-item 1 := "搬家中"
//     imageFinished(...)              per image tried (the command line counts them)
//     setItemText(i, 1, "完成"), setItemText(i, 2|3, count) for failed lists
//     setProgressPosition(processed)  PBM_SETPOS
//     setProgressText(...)            "搬家进度(...)"
//     -- the run writes the record's state := 2 here --
//     isRowSelected(i) / notifyItemChanged(i)  WM_NOTIFY, when selected and failed
//   setProgressText(...)              the rewriting texts, then the end text
//   -- the run returns its RunOutcome; PresentRunOutcome shows its box --
//   runFinished()                     enable previous/close buttons and Close
//
// Message boxes go through ShowMessage (util/front_end.h), so every front end
// shows the same texts.  Every callback may be null except readOptions.
#pragma once

#include "platform/fs.h"

struct FailureReason;
struct ItemRecord;

// Downloads a run makes at once.
const int DEFAULT_RUN_JOBS = 8;
const int MAX_RUN_JOBS = 32;
// HTTP/2 requests a run keeps in flight at once, over one connection per
// host (and proxy): `jobs` counts HTTP/1.1 connections, `streams` these.
const int DEFAULT_RUN_STREAMS = 100;
const int MAX_RUN_STREAMS = 256;

struct RunOptions {
    int relocateImageSpace;            // image-space description images, and the whole mobile phase
    int relocateOutsideAlbums;         // description images on other hosts
    int blankFailedImages;             // replace failed images by the blank image
    char destination[MAX_PATH_BYTES];  // folder that receives the files
    int jobs;                          // downloads at once, 1..MAX_RUN_JOBS; anything else takes DEFAULT_RUN_JOBS
    int streams;  // HTTP/2 requests at once, 1..MAX_RUN_STREAMS; anything else takes DEFAULT_RUN_STREAMS
};

// How one image ended, for views that count.
// IMAGE_KNOWN: no request was made, the destination already held the
// address's file (an earlier package of the same command, or its image
// library: relocate/known_images.h); `detail` names the file.
enum ImageOutcome { IMAGE_RELOCATED = 1, IMAGE_FAILED = 0, IMAGE_FATAL = -1, IMAGE_KNOWN = 2 };

struct RunView {
    void* context;
    void (*readOptions)(void* context, RunOptions* options);
    void (*itemStarted)(void* context, int row);
    void (*setItemText)(void* context, int row, int subItem, const char* text);
    void (*setProgressPosition)(void* context, int position);
    void (*setProgressText)(void* context, const char* text);
    int (*isRowSelected)(void* context, int row);
    void (*notifyItemChanged)(void* context, int row);
    // `detail`: the local file of a relocated image, the message of a failed
    // one (as app.log has it); `reason`: why it failed, in the user's words
    // (http/failure_reason.h), null unless IMAGE_FAILED or IMAGE_FATAL.
    void (*imageFinished)(void* context, const char* url, int isMobile, ImageOutcome outcome, const char* detail,
                          const FailureReason* reason);
    void (*runFinished)(void* context);
    void (*backupMade)(void* context, const char* backupPath);
};
