// The update notice as Karvelo.exe shows it at start-up.  The service's
// address names the program's own domain, which does not resolve, so the
// check goes to the fallback address 127.0.0.1 on port 80, where these
// tests serve the replies.
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK); the
// service answers in UTF-8 (u8 literals).
#include "platform/net.h"  // Winsock before <windows.h>

#include "win/gui_driver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "demo/loopback_server.h"

namespace {

const char NOTICE_CAPTION[] = "提示";
const int SERVICE_PORT = 80;

class UpdateNoticeTest : public ::testing::Test {
protected:
    // Serves `reply` to the check; skips the test when port 80 is taken or
    // not ours to open.
    void SetUp() override {
        server_ = std::make_unique<LoopbackImageServer>([this](const std::string& path) {
            LoopbackResponse response;
            if (path.rfind("/check?v=7.3", 0) == 0) {
                response.status = 200;
                response.contentType = "text/plain; charset=utf-8";
                response.body = reply_;
            }
            return response;
        });
        if (!server_->Start(SERVICE_PORT)) GTEST_SKIP() << "port 80 of 127.0.0.1 cannot be opened here";
        folder_ =
            FreshWorkFolder(std::string("update-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        WriteFileOfSize(folder_ + "\\no_shortcut.txt", 0);
    }

    HWND StartWith(const std::string& reply) {
        reply_ = reply;
        if (!karvelo_.Start(InstallKarvelo(folder_), folder_)) return nullptr;
        return karvelo_.WaitForMainWindow();
    }

    HWND NoticeBox(HWND window) { return GetDlgItem(ChildrenOf(window).front(), 36104); }

    bool Asked() { return !server_->RequestedPaths().empty(); }

    // The text of the box the check shows (checked to be owned by the main
    // window and shown by its thread, not the start-up thread), answered
    // with `answer`.
    std::string AnswerBox(HWND window, int answer) {
        HWND box = karvelo_.WaitForMessageBox(NOTICE_CAPTION);
        if (box == nullptr) return "(no box)";
        std::string text = MessageBoxText(box);
        EXPECT_EQ(window, GetWindow(box, GW_OWNER));
        EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetWindowThreadProcessId(box, nullptr));
        EXPECT_FALSE(IsWindowEnabled(window));
        AnswerMessageBox(box, answer);
        return text;
    }

    void CloseAfterTheBox(HWND window) {
        ASSERT_TRUE(WaitUntil([&] { return karvelo_.MessageBoxes().empty(); }));
        EXPECT_TRUE(karvelo_.Running());
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo_.WaitForExit());
    }

    std::unique_ptr<LoopbackImageServer> server_;
    std::string reply_;
    std::string folder_;
    KarveloProcess karvelo_;
};

TEST_F(UpdateNoticeTest, FalseOnlyShowsTheNotice) {
    HWND window = StartWith(u8"false^欢迎使用Karvelo");
    ASSERT_NE(nullptr, window);
    HWND notice = NoticeBox(window);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(notice) == "欢迎使用Karvelo"; })) << WindowText(notice);
    EXPECT_TRUE(karvelo_.MessageBoxes().empty());
    EXPECT_EQ("/check?v=7.3", server_->RequestedPaths().front());
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo_.WaitForExit());
}

TEST_F(UpdateNoticeTest, TrueOffersTheDownloadPage) {
    HWND window = StartWith(u8"true^新版本7.4已发布");
    ASSERT_NE(nullptr, window);
    EXPECT_EQ("检查到新的版本，是否需要进入官网下载新版本？", AnswerBox(window, IDNO));
    EXPECT_EQ("新版本7.4已发布", WindowText(NoticeBox(window)));
    CloseAfterTheBox(window);
}

// The update question arrives while the shortcut question is open: it
// waits until that one is answered, so there are never two modal boxes,
// and the window stays disabled while the second is open.
TEST_F(UpdateNoticeTest, TheUpdateQuestionWaitsForTheShortcutQuestion) {
    DeleteFileW(Wide(folder_ + "\\no_shortcut.txt").c_str());
    RemoveTree(DesktopShortcutPath());
    HWND window = StartWith(u8"true^新版本7.4已发布");
    ASSERT_NE(nullptr, window);
    HWND shortcut = karvelo_.WaitForMessageBox("询问");
    ASSERT_NE(nullptr, shortcut);
    // The notice is set just before the question is raised.
    ASSERT_TRUE(WaitUntil([&] { return WindowText(NoticeBox(window)) == "新版本7.4已发布"; }));
    HWND progressBar = FindWindowExA(ChildrenOf(window)[1], nullptr, "msctls_progress32", nullptr);
    ASSERT_TRUE(karvelo_.SettlePosted(progressBar));
    EXPECT_EQ(1u, karvelo_.MessageBoxes().size());

    AnswerMessageBox(shortcut, IDCANCEL);
    EXPECT_EQ("检查到新的版本，是否需要进入官网下载新版本？", AnswerBox(window, IDNO));
    CloseAfterTheBox(window);
    EXPECT_FALSE(FileExistsAt(DesktopShortcutPath()));
}

TEST_F(UpdateNoticeTest, MustEndsTheProgram) {
    HWND window = StartWith(u8"must^请升级");
    ASSERT_NE(nullptr, window);
    EXPECT_EQ("软件最近有重要升级，请到官网下载最新版使用！", AnswerBox(window, IDOK));
    EXPECT_EQ(0u, karvelo_.WaitForExit());
}

TEST_F(UpdateNoticeTest, AnUnrecognisedReplyIsShown) {
    HWND window = StartWith("maybe");
    ASSERT_NE(nullptr, window);
    EXPECT_EQ("检查软件新版本时返回无法识别的数据：\n\nmaybe", AnswerBox(window, IDOK));
    EXPECT_TRUE(Asked());
    CloseAfterTheBox(window);
}

}  // namespace
