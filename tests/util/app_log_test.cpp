#include "util/app_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "support/gbk.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace {

class AppLogTest : public ::testing::Test {
protected:
    void TearDown() override { CloseAppLog(); }
    TempDir dir;
    std::string LogPath() const { return dir.File("app.log"); }
};

}  // namespace

TEST_F(AppLogTest, LinesCarryTheTimeAndEndInCrLf) {
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("first");
    LogLine("second");
    std::string log = ReadWholeFile(LogPath());  // flushed at once, no close needed
    std::regex line("(\\d\\d):(\\d\\d):(\\d\\d) first\r\n\\d\\d:\\d\\d:\\d\\d second\r\n");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(AppLogTest, MessageWithLineBreaksKeepsOneTimestamp) {
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("a\r\nb");
    std::string log = ReadWholeFile(LogPath());
    ASSERT_EQ(9u + 4u + 2u, log.size());
    EXPECT_EQ("a\r\nb\r\n", log.substr(9));
}

TEST_F(AppLogTest, TwoMebibytesStayOneByteMoreStartsAfresh) {
    ASSERT_TRUE(WriteWholeFile(LogPath(), std::string(2097152, 'x')));
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("kept");
    EXPECT_EQ(2097152u + 9 + 4 + 2, ReadWholeFile(LogPath()).size());
    CloseAppLog();

    ASSERT_TRUE(WriteWholeFile(LogPath(), std::string(2097153, 'x')));
    ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    LogLine("fresh");
    EXPECT_EQ(9u + 5 + 2, ReadWholeFile(LogPath()).size());
}

TEST_F(AppLogTest, UnopenableLogShowsAMessageAndEndsWithZero) {
    RecordingFrontEnd frontEnd;
    std::string missing = dir.File("no-such-folder");
    EXPECT_EQ(0, OpenAppLog(missing.c_str()));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("无法打开应用日志文件：app.log"), frontEnd.messages[0].text);
    EXPECT_EQ(Gbk("错误"), frontEnd.messages[0].caption);
    EXPECT_EQ((std::vector<int>{0}), frontEnd.endCodes);
}

TEST(FormatClockTime, EightCharactersAndATerminator) {
    char buffer[10];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(8u, FormatClockTime(buffer, sizeof buffer));
    EXPECT_TRUE(std::regex_match(std::string(buffer), std::regex("\\d\\d:\\d\\d:\\d\\d")));
    char small[4];
    FormatClockTime(small, sizeof small);
    EXPECT_EQ('\0', small[3]);
}
