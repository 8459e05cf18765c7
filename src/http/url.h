// Absolute http and https addresses split into host, port and request path.
//
// The parser knows the http and https schemes and scheme-relative addresses ("//host/")
// with an optional explicit port, the host a name or an address (an IPv6
// address in brackets, "http://[::1]:8080/"), nothing else: no user
// information, no percent-decoding, no relative references.
#pragma once

#include <cstddef>
#include <cstdint>

#include "texts/texts.h"

struct UrlParts {
    char* host;       // owned; as written in the address (an IPv6 literal without its brackets), may be empty
    char* path;       // owned; from the first '/' after the host to the end, query and fragment kept
    int32_t port;     // explicit port, or 443 for "https:" and 80 otherwise
    int32_t isHttps;  // 1 for "https:" (any case): fetched over TLS
};

// Fills `parts` and returns true, or returns false and allocates nothing.  The
// address must begin with "http://" or "https://" (any case) or "//" and have a '/' after the
// host.  A port that is empty or not a number reads as 0; a port outside 0 to
// 65535 is refused (the connection would use only its low 16 bits and reach
// another port), and so are brackets around anything but an IPv6 address,
// or without their partner (MESSAGE_URL_CANNOT_PARSE), and so is an address with a control character anywhere in
// it (a byte below 0x20 or 0x7F: CR LF would split the request).  On a
// refusal *failureText, when given, is the message for it:
// MESSAGE_URL_CANNOT_PARSE, MESSAGE_URL_PORT_OUT_OF_RANGE or
// MESSAGE_URL_CONTROL_CHARACTER.
bool ParseUrl(const char* url, UrlParts* parts, const char** failureText = nullptr);

// Frees host and path and nulls them; calling it twice is harmless.
void FreeUrlParts(UrlParts* parts);

// A new heap string with every "&amp;" turned into "&", or null when there
// is none (the caller then goes on with `url` itself).  The image download
// applies it to addresses cut out of HTML.
char* UnescapeAmpersands(const char* url);

const int32_t HTTP_DEFAULT_PORT = 80;
const int32_t HTTPS_DEFAULT_PORT = 443;

// The highest port an address may name.
const int32_t URL_PORT_MAX = 65535;

// The longest host name DNS allows: 253 bytes as written (labels of at most
// 63).  A longer host is refused before anything is sent, never cut.
const int HOST_NAME_MAX_BYTES = 253;
// Room for a host of that length with its port, an IPv6 literal in
// brackets: "[host]:65535", without a terminator.
const int HOST_PORT_BYTES = HOST_NAME_MAX_BYTES + 2 + 6;

// `prefix`, then the host (an IPv6 literal, the only host with a ':', in
// brackets) and ":port" unless `port` is negative, into `text` (`size`
// bytes).  Its length, or -1 when it does not fit.
int FormatHostPort(char* text, size_t size, const char* prefix, const char* host, int port);
