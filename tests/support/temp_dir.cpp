#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/fs.h"

namespace {

// Test paths are UTF-8 on every system.  A plain std::string path means the
// ANSI code page to the Windows C runtime but Latin-1 to std::filesystem
// there; u8path reaches the same file on both systems.
std::filesystem::path Native(const std::string& utf8) { return std::filesystem::u8path(utf8); }

}  // namespace

TempDir::TempDir() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0;; ++attempt) {
        std::filesystem::path candidate =
            base / ("karvelo-test-" + std::to_string(std::rand()) + "-" + std::to_string(attempt));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.u8string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(Native(path_), error);
}

std::string TempDir::File(const std::string& name) const { return path_ + PATH_SEPARATOR_TEXT + name; }

std::string TempDir::DeepFolder(size_t length, char fill) const {
    const size_t NAME_BYTES = 200;
    std::string folder = path_;
    while (folder.size() < length) {
        size_t left = length - folder.size() - 1;
        // Never leave a remainder too short for a name of its own.
        size_t name = left > NAME_BYTES ? (left - NAME_BYTES < 2 ? NAME_BYTES - 2 : NAME_BYTES) : left;
        folder += PATH_SEPARATOR_TEXT + std::string(name, fill);
        std::filesystem::create_directory(Native(folder));
    }
    return folder;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(Native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(Native(path), error);
}
