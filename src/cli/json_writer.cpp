#include "cli/json_writer.h"

#include <cmath>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `at` (shortest form, no
// surrogates, at most U+10FFFF), or 0.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[at + i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

}  // namespace

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!firstInLevel_.empty()) {
        if (!firstInLevel_.back()) text_ += ',';
        firstInLevel_.back() = false;
    }
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    text_ += bracket;
    firstInLevel_.push_back(true);
}

void JsonWriter::Close(char bracket) {
    text_ += bracket;
    firstInLevel_.pop_back();
}

void JsonWriter::BeginObject() { Open('{'); }
void JsonWriter::EndObject() { Close('}'); }
void JsonWriter::BeginArray() { Open('['); }
void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Key(const std::string& name) {
    BeforeValue();
    Quoted(name);
    text_ += ':';
    afterKey_ = true;
}

void JsonWriter::String(const std::string& utf8) {
    BeforeValue();
    Quoted(utf8);
}

void JsonWriter::Number(long long value) {
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Decimal(double value) {
    BeforeValue();
    char text[352];  // DBL_MAX has 309 digits
    std::snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
    text_ += text;
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Raw(const std::string& json) {
    BeforeValue();
    text_ += json;
}

void JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
}

// Control characters are escaped, DEL and the C1 range too: titles come from
// the package, and a report shown on a terminal must not drive it.
void JsonWriter::Quoted(const std::string& utf8) {
    text_ += '"';
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char byte = static_cast<unsigned char>(utf8[i]);
        const size_t length = Utf8SequenceLength(utf8, i);
        if (length == 0) {
            text_ += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        const unsigned char next = length == 2 ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (byte == '"' || byte == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(byte);
        } else if (byte == '\n') {
            text_ += "\\n";
        } else if (byte == '\r') {
            text_ += "\\r";
        } else if (byte == '\t') {
            text_ += "\\t";
        } else if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next <= 0x9F)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte == 0xC2 ? next : byte);
            text_ += escape;
        } else {
            text_.append(utf8, i, length);
        }
        i += length;
    }
    text_ += '"';
}
