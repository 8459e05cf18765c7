#include "http/failure_reason.h"

#include <cstdio>

#include "http/connection.h"
#include "http/http_common.h"
#include "texts/texts.h"

namespace {

// By kind, in FailureKind's order.
const char* const CODES[FAILURE_KIND_COUNT] = {
    "none",           "http_status",           "connection_refused", "timed_out",
    "name_not_found", "certificate_untrusted", "not_an_image",       "too_large",
    "compressed",     "proxy_refused",         "proxy_unreachable",  "redirect_refused",
    "cut_off",        "file_not_writable",     "host_cut_off",       "too_slow",
    "other",
};

// The standard reason phrases of the statuses an image host is likely to
// answer; any other code is shown as a number.
struct StatusPhrase {
    int status;
    const char* phrase;
};

const StatusPhrase STATUS_PHRASES[] = {
    {301, TEXT_STATUS_301}, {302, TEXT_STATUS_302}, {303, TEXT_STATUS_303}, {307, TEXT_STATUS_307},
    {308, TEXT_STATUS_308}, {400, TEXT_STATUS_400}, {401, TEXT_STATUS_401}, {403, TEXT_STATUS_403},
    {404, TEXT_STATUS_404}, {405, TEXT_STATUS_405}, {407, TEXT_STATUS_407}, {408, TEXT_STATUS_408},
    {410, TEXT_STATUS_410}, {429, TEXT_STATUS_429}, {500, TEXT_STATUS_500}, {502, TEXT_STATUS_502},
    {503, TEXT_STATUS_503}, {504, TEXT_STATUS_504},
};

// A catalog text in the language asked for.
const char* InLanguage(const char* text, bool english) {
    const char* englishForm = english ? EnglishText(text) : nullptr;
    return englishForm != nullptr ? englishForm : text;
}

// "404 Not Found", or "HTTP 599" for a code without a phrase.
void FormatStatus(int status, bool english, char* out, size_t size) {
    for (const StatusPhrase& known : STATUS_PHRASES) {
        if (known.status != status) continue;
        std::snprintf(out, size, InLanguage(FORMAT_REASON_STATUS, english), status, InLanguage(known.phrase, english));
        return;
    }
    std::snprintf(out, size, InLanguage(FORMAT_REASON_UNKNOWN_STATUS, english), status);
}

// The sentence of a kind that does not name its place itself.
const char* PlainSentence(FailureKind kind) {
    switch (kind) {
        case FAILURE_CONNECTION_REFUSED: return TEXT_REASON_CONNECTION_REFUSED;
        case FAILURE_TIMED_OUT: return TEXT_REASON_TIMED_OUT;
        case FAILURE_NAME_NOT_FOUND: return TEXT_REASON_NAME_NOT_FOUND;
        case FAILURE_CERTIFICATE_UNTRUSTED: return TEXT_REASON_CERTIFICATE_UNTRUSTED;
        case FAILURE_NOT_AN_IMAGE: return TEXT_REASON_NOT_AN_IMAGE;
        case FAILURE_COMPRESSED: return TEXT_REASON_COMPRESSED;
        case FAILURE_REDIRECT_REFUSED: return TEXT_REASON_REDIRECT_REFUSED;
        case FAILURE_CUT_OFF: return TEXT_REASON_CUT_OFF;
        case FAILURE_FILE_NOT_WRITABLE: return TEXT_REASON_FILE_NOT_WRITABLE;
        default: return TEXT_REASON_OTHER;
    }
}

// The mebibytes of the body size limit, as the sentence says them.
const int BODY_LIMIT_MEBIBYTES = static_cast<int>(HTTP_BODY_SIZE_LIMIT >> 20);

}  // namespace

void SetFailureReason(FailureReason* reason, FailureKind kind, const char* place, int status) {
    if (reason == nullptr) return;
    *reason = FailureReason{};
    reason->kind = kind;
    reason->status = status;
    std::snprintf(reason->place, sizeof reason->place, "%s", place != nullptr ? place : "");
}

void SetFailureAt(FailureReason* reason, FailureKind kind, const char* host, int port, int status) {
    char place[HOST_PORT_BYTES + 1] = "";
    if (host != nullptr) FormatHostPort(place, sizeof place, "", host, port);
    SetFailureReason(reason, kind, place, status);
}

const char* FailureCode(FailureKind kind) {
    return kind >= 0 && kind < FAILURE_KIND_COUNT ? CODES[kind] : CODES[FAILURE_OTHER];
}

void FormatFailureSentence(const FailureReason* reason, bool english, char* out, size_t size) {
    if (size == 0) return;
    const FailureReason none = {};
    if (reason == nullptr) reason = &none;
    const char* place = reason->place;
    char sentence[HOST_PORT_BYTES + 128];
    switch (reason->kind) {
        case FAILURE_HTTP_STATUS: FormatStatus(reason->status, english, sentence, sizeof sentence); break;
        case FAILURE_TOO_LARGE:
            std::snprintf(sentence, sizeof sentence, InLanguage(FORMAT_REASON_TOO_LARGE, english),
                          BODY_LIMIT_MEBIBYTES);
            break;
        case FAILURE_PROXY_REFUSED: {
            char status[128];
            FormatStatus(reason->status, english, status, sizeof status);
            std::snprintf(out, size, InLanguage(FORMAT_REASON_PROXY_REFUSED, english), place, status);
            return;
        }
        case FAILURE_PROXY_UNREACHABLE:
            std::snprintf(out, size, InLanguage(FORMAT_REASON_PROXY_UNREACHABLE, english), place);
            return;
        case FAILURE_HOST_CUT_OFF:
            std::snprintf(out, size, InLanguage(FORMAT_REASON_HOST_CUT_OFF, english), place, CONNECT_FAILURE_LIMIT);
            return;
        case FAILURE_TOO_SLOW:
            if (reason->rate > 0) {
                std::snprintf(out, size, InLanguage(FORMAT_REASON_TOO_SLOW, english), reason->rate, reason->seconds);
            } else {
                std::snprintf(out, size, InLanguage(FORMAT_REASON_TOO_LONG, english), (reason->seconds + 59) / 60);
            }
            return;
        default: std::snprintf(sentence, sizeof sentence, "%s", InLanguage(PlainSentence(reason->kind), english));
    }
    if (place[0] == '\0' || reason->kind == FAILURE_FILE_NOT_WRITABLE) {
        std::snprintf(out, size, "%s", sentence);
    } else {
        std::snprintf(out, size, InLanguage(FORMAT_REASON_AT, english), sentence, place);
    }
}
