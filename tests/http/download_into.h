// DownloadImage as the tests call it, on either system: apart from the HTTP
// fixture, which needs POSIX test peers, so the Schannel suites can use it.
#pragma once

#include <cstddef>
#include <string>

#include "http/download.h"
#include "http/transfer.h"
#include "support/temp_dir.h"

// DownloadImage on `client` into `path`, made first (empty) as the run
// makes it, out of reach of injected faults; one there already is written
// over.
template <size_t N>
inline int DownloadInto(HttpClient* client, const std::string& url, const std::string& path, char (&errorText)[N],
                        bool useKeepAlive) {
    if (!PathExists(path)) WriteWholeFile(path, "");
    Transfer transfer;
    InitTransfer(&transfer, client, ErrorText{errorText, N}, nullptr);
    return DownloadImage(&transfer, url.c_str(), path.c_str(), useKeepAlive, false);
}
