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

private:
    std::string path_;
};

// Whole-file helpers for tests.  Paths are UTF-8 on every system (the core
// itself is given GBK paths).
bool WriteWholeFile(const std::string& path, const std::string& bytes);
std::string ReadWholeFile(const std::string& path);
bool PathExists(const std::string& path);
