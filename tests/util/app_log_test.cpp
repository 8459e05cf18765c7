#include "util/app_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "support/gbk.h"
#include "support/recording_front_end.h"
#include "texts/texts.h"
#include "support/temp_dir.h"

namespace {

class AppLogTest : public ::testing::Test {
protected:
    void TearDown() override { CloseAppLog(); }
    TempDir dir;
    std::string LogPath() const { return dir.File("app.log"); }
};

}  // namespace

// Windows keeps the wizard's lines byte for byte; POSIX writes UTF-8 with
// the date and LF, one line per entry, its breaks as spaces.
TEST_F(AppLogTest, LinesInTheSystemsForm) {
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("first");
    LogLine(Core("a\r\n宝贝\rb\n\nc\r\n").c_str());
    std::string log = ReadWholeFile(LogPath());  // flushed at once, no close needed
#ifdef _WIN32
    const std::regex stamp("\\d\\d:\\d\\d:\\d\\d ");
    const std::string lines[] = {"first\r\n", Core("a\r\n宝贝\rb\n\nc\r\n\r\n")};
#else
    const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
    const std::string lines[] = {"first\n", "a 宝贝 b c\n"};
#endif
    size_t at = 0;
    for (const std::string& line : lines) {
        std::smatch found;
        const std::string rest = log.substr(at);
        ASSERT_TRUE(std::regex_search(rest, found, stamp, std::regex_constants::match_continuous)) << log;
        EXPECT_EQ(line, rest.substr(found.length(), line.size()));
        at += found.length() + line.size();
    }
    EXPECT_EQ(log.size(), at);
}

TEST_F(AppLogTest, TwoMebibytesStayOneByteMoreStartsAfresh) {
    ASSERT_TRUE(WriteWholeFile(LogPath(), std::string(2097153, 'x')));
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("line");
    const size_t line = ReadWholeFile(LogPath()).size();
    EXPECT_LT(line, 40u);
    CloseAppLog();

    ASSERT_TRUE(WriteWholeFile(LogPath(), std::string(2097152, 'x')));
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("line");
    EXPECT_EQ(2097152u + line, ReadWholeFile(LogPath()).size());
}

// The front end shows why and ends; the log only says it could not open.
TEST_F(AppLogTest, UnopenableLogIsAFailureForTheFrontEnd) {
    RecordingFrontEnd frontEnd;
    std::string missing = dir.File("no-such-folder");
    EXPECT_EQ(0, OpenAppLog(missing.c_str()));
    EXPECT_TRUE(frontEnd.messages.empty());
    EXPECT_EQ(Gbk("无法打开应用日志文件：app.log"), MESSAGE_LOG_CANNOT_OPEN);
}
