// DownloadImage as the tests call it, on either system: apart from the HTTP
// fixture, which needs POSIX test peers, so the Schannel suites can use it.
#pragma once

#include <cstddef>
#include <string>

#include "http/download.h"
#include "support/temp_dir.h"

// DownloadImage into `path`, made first (empty) as the run makes it, out of
// reach of injected faults; one there already is written over.
template <size_t N>
inline int DownloadInto(const std::string& url, const std::string& path, char (&errorText)[N], bool useKeepAlive) {
    if (!PathExists(path)) WriteWholeFile(path, "");
    return DownloadImage(url.c_str(), path.c_str(), ErrorText{errorText, N}, useKeepAlive, false);
}
