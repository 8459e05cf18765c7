#include "update/update_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/connection.h"
#include "support/gbk.h"
#include "support/recording_front_end.h"
#include "support/scripted_server.h"
#include "relocate/core_state.h"

namespace {

struct RecordingUpdateView {
    UpdateView view = {};
    std::vector<std::string> notices;  // GBK
    std::vector<std::string> opened;
    RecordingUpdateView() {
        view.context = this;
        view.setNoticeText = [](void* c, const char* text) {
            static_cast<RecordingUpdateView*>(c)->notices.push_back(text);
        };
        view.openInBrowser = [](void* c, const char* url) {
            static_cast<RecordingUpdateView*>(c)->opened.push_back(url);
        };
    }
};

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        coreState.running = 0;
        coreState.stopRequested = 0;
    }
    // Runs the check against a server that replies `body`.
    void Check(const std::string& body) {
        ScriptedServer server({Serve(Reply(Ok(body)))});
        ASSERT_TRUE(server.listening());
        found = UpdateCheckAt(server.Url("/check?v=7.3").c_str(), &view.view);
    }
    UpdateFinding found = UPDATE_UNREACHABLE;  // what the last Check found
    RecordingFrontEnd frontEnd;
    RecordingUpdateView view;
};

}  // namespace

TEST(UpdateAddresses, AreRestoredFromTheirScrambledForm) {
    char buffer[256];
    RestoreUpdateAddressTemplate(buffer, sizeof buffer);
    EXPECT_STREQ("http://update.karvelo.example/check?v=%0.1f", buffer);
    RestoreDownloadPageAddress(buffer, sizeof buffer);
    EXPECT_STREQ("http://www.karvelo.example/download", buffer);
    char small[8];
    RestoreDownloadPageAddress(small, sizeof small);
    EXPECT_STREQ("http://", small);  // cut, never past the buffer
}

TEST_F(UpdateCheckTest, FalseShowsOnlyTheNotice) {
    Check("false^" + std::string("本周上新"));
    EXPECT_EQ((std::vector<std::string>{Gbk("本周上新")}), view.notices);
    EXPECT_TRUE(frontEnd.messages.empty());

    view.notices.clear();
    Check("false^");  // empty message: the box keeps its text
    Check("false");
    EXPECT_TRUE(view.notices.empty());
    EXPECT_TRUE(frontEnd.messages.empty());
}

TEST_F(UpdateCheckTest, TrueOffersTheDownloadPage) {
    frontEnd.answer = 7;  // No
    Check("true^new version");
    EXPECT_EQ((std::vector<std::string>{"new version"}), view.notices);
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("检查到新的版本，是否需要进入官网下载新版本？"), frontEnd.messages[0].text);
    EXPECT_TRUE(view.opened.empty());
    EXPECT_EQ(UPDATE_OFFERED, found);

    frontEnd.answer = 6;  // Yes
    Check("true^x");
    EXPECT_EQ((std::vector<std::string>{"http://www.karvelo.example/download"}), view.opened);
}

TEST_F(UpdateCheckTest, MustOpensTheDownloadPageAndEnds) {
    Check("must^upgrade now^ignored");
    EXPECT_EQ((std::vector<std::string>{"upgrade now"}), view.notices);
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("软件最近有重要升级，请到官网下载最新版使用！"), frontEnd.messages[0].text);
    EXPECT_EQ(1u, view.opened.size());
    EXPECT_EQ(UPDATE_REQUIRED, found);
    EXPECT_TRUE(UpdateEndsProgramNow(found));
    // The stop is set even then: a run whose thread is starting meanwhile
    // sees it before its backup and ends without one.
    EXPECT_EQ(1, coreState.stopRequested.load());

    // During a run the run is stopped instead; it writes back and ends the process.
    coreState.stopRequested = 0;
    coreState.running = 1;
    Check("must^x");
    EXPECT_FALSE(UpdateEndsProgramNow(found));
    EXPECT_EQ(1, coreState.stopRequested.load());
    coreState.running = 0;
}

TEST_F(UpdateCheckTest, UnrecognisedRepliesShowAtMost386Bytes) {
    Check("");
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("检查软件新版本时返回无法识别的数据：\n\n"), frontEnd.messages[0].text);

    std::string page = "<html>" + std::string(994, 'x');
    Check(page);
    ASSERT_EQ(2u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("检查软件新版本时返回无法识别的数据：\n\n") + page.substr(0, 386), frontEnd.messages[1].text);

    Check("TRUE^shown anyway");  // status words are exact
    ASSERT_EQ(3u, frontEnd.messages.size());
    EXPECT_EQ((std::vector<std::string>{"shown anyway"}), view.notices);
}

TEST_F(UpdateCheckTest, UnreachableServiceIsSilent) {
    const RefusingLoopbackPort refusing;
    EXPECT_EQ(UPDATE_UNREACHABLE,
              UpdateCheckAt(("http://127.0.0.1:" + std::to_string(refusing.port()) + "/check").c_str(), &view.view));
    EXPECT_TRUE(frontEnd.messages.empty());
    EXPECT_TRUE(view.notices.empty());
}
