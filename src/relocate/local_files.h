// Names of the local image files.
#pragma once

#include <cstddef>
#include <cstdio>

// The run's start, the same in every name of one run.
struct RunTimeStamp {
    int year, month, day, hour, minute;
};

enum ImageKind { IMAGE_KIND_DESKTOP = 0, IMAGE_KIND_MOBILE = 1 };

// The process-wide counter of candidate names: 1 at start, never reset.
extern int imageCounter;

RunTimeStamp CurrentRunTimeStamp();

// One of "jpg", "jpeg", "png", "gif", "bmp", from the URL alone.
const char* ImageExtensionForUrl(const char* url);

// Takes the first free candidate "<destination>/<Y-M-D-h-m-n>.<ext>" ("m-"
// before the name for mobile images) into `path`, spending counter values as
// it goes: the file is created there, empty, exclusively
// (CreateNewFileByPath), so no other run, in this process or another, can
// take the same name, and a name held by anything (a file, a folder, a
// link) is passed over.  Returns LOCAL_NAME_MADE; LOCAL_NAME_TOO_LONG when
// the path would not fit into `size` bytes (nothing is truncated into
// another name); LOCAL_NAME_NOT_CREATED when the file cannot be created for
// another reason (a missing folder, no permission), `path` then holding
// the name tried.  With `claimed`, the new file's open stream (ready for
// writing, empty) goes there for the caller to write and close; without,
// the file is closed at once.
const int LOCAL_NAME_MADE = 1;
const int LOCAL_NAME_TOO_LONG = 0;
const int LOCAL_NAME_NOT_CREATED = -1;
int NextLocalImagePath(ImageKind kind, const char* extension, const char* destination, const RunTimeStamp& stamp,
                       char* path, size_t size, FILE** claimed = nullptr);

// 1 when every name NextLocalImagePath can form in `destination` fits the
// system (PathFitsSystem): the longest one, a mobile image of the last
// minute of a year with the largest counter and the longest extension, so a
// run never stops part way for a name it cannot form.
int DestinationTakesImageNames(const char* destination);
