// A file layer (platform/fs.h) that makes one chosen file operation fail the
// way a read-only file, a full disk or a bad sector would, and passes every
// other call on to the system's own operations, so a test can check that
// nothing was lost (the way SQLite tests its pager).
// Not thread-safe: install and remove faults only while no other thread
// touches files.
#pragma once

#include "platform/fs.h"

enum FileFaultOperation {
    FILE_FAULT_OPEN_READ = 1,  // OpenFileByPath with a mode that only reads
    FILE_FAULT_OPEN_WRITE,     // OpenFileByPath with a mode that writes ("w", "a" or "+"),
                               // CreateNewFileByPath, OpenCreatedFileByPath
    FILE_FAULT_WRITE,          // WriteFileBytes on a stream opened at a matching path: it
                               // stores only the first half of its bytes, as a disk
                               // that fills up in the middle of a write does
    FILE_FAULT_READ,           // ReadFileBytes on such a stream
    FILE_FAULT_CLOSE,          // CloseFile on such a stream (it is still released)
    FILE_FAULT_REPLACE,        // ReplaceFileByPath, matched on either path
    FILE_FAULT_MKDIR,          // MakeDirectory
    FILE_FAULT_SYNC,           // SyncFile on a stream opened at a matching path
    FILE_FAULT_HELD,           // ProbeReplace, matched on either path: reports the file
                               // held by another program (as Excel holds an open workbook)
    FILE_FAULT_FOLDER_WRITE,   // IsFolderWritable: the folder reads as one that cannot
                               // be written (a read-only mount, Program Files)
};

struct FileFault {
    FileFaultOperation operation;
    const char* pathEnd;  // text the path must end with; null or "" matches all
    int nth;              // the first matching call that fails, counting from 1;
                          // every later matching call fails too (a full disk stays full)
};

// Installs the layer with a copy of `fault` (`pathEnd` must outlive it); null
// removes it and puts the system's own operations back.
void SetFileFaultInjection(const FileFault* fault);

// How many calls the installed fault has made fail, so a test can tell that
// its fault really struck.
int FileFaultStrikes();
