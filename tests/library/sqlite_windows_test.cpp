// The Windows build's own SQLite: a database under a folder with a Chinese
// name, opened through its UTF-8 path (which the Windows VFS must hand to
// the wide Win32 calls, whatever the ANSI code page), in WAL mode, written,
// read back and checked.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace {

std::string exec_one(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        return std::string("prepare failed: ") + sqlite3_errmsg(db);
    }
    std::string result;
    int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        result = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    } else if (step != SQLITE_DONE) {
        result = std::string("step failed: ") + sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return result;
}

}  // namespace

TEST(SqliteWindowsTest, WalDatabaseUnderChineseFolder) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / fs::u8path(u8"卡维洛数据库测试");
    fs::remove_all(folder);
    ASSERT_TRUE(fs::create_directories(folder));
    const std::string file = (folder / fs::u8path(u8"商品.db")).u8string();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    EXPECT_EQ(exec_one(db, "PRAGMA journal_mode=WAL"), "wal");
    EXPECT_EQ(exec_one(db, "CREATE TABLE item(name TEXT)"), "");
    EXPECT_EQ(exec_one(db, "INSERT INTO item VALUES('图片一')"), "");
    EXPECT_EQ(exec_one(db, "SELECT name FROM item"), u8"图片一");
    EXPECT_EQ(exec_one(db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);

    // The file is where the UTF-8 name said, not under a mangled name.
    EXPECT_TRUE(fs::exists(folder / fs::u8path(u8"商品.db")));
    fs::remove_all(folder);
}
