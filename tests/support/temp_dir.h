// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes out of scope.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + separator + name.
    std::string File(const std::string& name) const;
    // Makes the folders of a path of exactly `length` bytes inside path()
    // (names of `fill`, none longer than a system allows) and returns it;
    // the last name is at most 200 bytes, so it can grow a little.
    std::string DeepFolder(size_t length, char fill) const;

private:
    std::string path_;
};

// Whole-file helpers for tests.  Paths are UTF-8 on every system (the core
// itself is given GBK paths).
bool WriteWholeFile(const std::string& path, const std::string& bytes);
std::string ReadWholeFile(const std::string& path);
bool PathExists(const std::string& path);
