// The platform side of the injected-fault seam of fs.h.  Only the files of
// src/platform/ include this; core code sees SetFileFaultInjection alone.
#pragma once

#include <cstdio>

#include "platform/fs.h"

// 1 when the installed fault makes this call fail: `operation` matches and
// `path` (or `otherPath`, when given) ends with the fault's path end, and
// this is the fault's nth matching call or a later one.  0 without a fault.
int FileFaultStrikesPath(FileFaultOperation operation, const char* path, const char* otherPath);

// Called by OpenFileByPath for every stream it hands out, so that later
// stream calls (write, read, close) know whether their stream's path matches.
void FileFaultNoteOpen(FILE* file, const char* path);

// 1 when the installed fault makes this stream call fail: `operation`
// matches and `file` was opened at a matching path.  0 without a fault.
int FileFaultStrikesStream(FileFaultOperation operation, FILE* file);
