// A small JSON writer for the command line's --json report: compact, one
// document, every string valid UTF-8 with the characters JSON requires
// escaped.
#pragma once

#include <string>
#include <vector>

class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the open object.
    void Key(const std::string& name);
    // A UTF-8 string; bytes that are not UTF-8 become U+FFFD.
    void String(const std::string& utf8);
    void Number(long long value);
    // A finite number with three decimals ("1.250"); what is not finite is 0.
    void Decimal(double value);
    void Bool(bool value);
    void Null();
    // A whole value another writer made (its Text()), taken as it is.
    void Raw(const std::string& json);
    const std::string& Text() const { return text_; }

private:
    void BeforeValue();
    // An object or array begins or ends.
    void Open(char bracket);
    void Close(char bracket);
    void Quoted(const std::string& utf8);
    std::string text_;
    std::vector<bool> firstInLevel_;  // per open object or array: nothing written in it yet
    bool afterKey_ = false;
};
