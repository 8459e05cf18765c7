// The fixed sizes of the HTTP client's texts and buffers, apart from
// everything that uses them, so the head parser and the transport's proxy
// tunnel take them without the connection's header.
#pragma once

// The receive buffer of every HTTP read; buffers are one byte longer so the
// held bytes can always be NUL-terminated and searched as text.
const int HTTP_BUFFER_SIZE = 8192;
// The size of callers' message buffers (the download's, the connect message).
const int HTTP_ERROR_TEXT_BYTES = 1024;
// The request is assembled in REQUEST_TEXT_BYTES, its Host line in
// HOST_LINE_BYTES, both terminator included.  The Host line takes any host
// up to HOST_NAME_MAX_BYTES with its port; the request leaves the path of
// such a host, written twice in a proxy's absolute form, the room a short
// host's path has always had.
const int REQUEST_TEXT_BYTES = 2048;
