// Names of the local image files.
#pragma once

#include <cstddef>

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

// Writes into `path` the first candidate "<destination>/<Y-M-D-h-m-n>.<ext>"
// ("m-" before the name for mobile images) at which no file exists,
// spending counter values as it goes.  Returns 1, or 0 when the path would
// not fit into `size` bytes (nothing is truncated into another name).
int NextLocalImagePath(ImageKind kind, const char* extension, const char* destination, const RunTimeStamp& stamp,
                       char* path, size_t size);

// 1 when every name NextLocalImagePath can form in `destination` fits the
// system (PathFitsSystem): the longest one, a mobile image of the last
// minute of a year with the largest counter and the longest extension, so a
// run never stops part way for a name it cannot form.
int DestinationTakesImageNames(const char* destination);
