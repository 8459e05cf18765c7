// The Karvelo.exe a seller unpacks from the release's zip starts in its own
// folder and shows its window.  Run by `make test-release`, which unpacks
// the zip and names the folder in KARVELO_RELEASE_FOLDER; skipped without it.
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK).
#include "win/gui_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ReleaseTest, UnpackedProgramStartsAndShowsItsWindow) {
    const char* folder = std::getenv("KARVELO_RELEASE_FOLDER");
    if (folder == nullptr || folder[0] == '\0') GTEST_SKIP() << "KARVELO_RELEASE_FOLDER is not set";
    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.Start(std::string(folder) + "\\Karvelo.exe", folder));
    HWND window = karvelo.WaitForMainWindow();
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(IsShown(window));
    EXPECT_EQ("Karvelo(V7.3)", WindowText(window));
    // The desktop-shortcut question of a first start, if the desktop has no
    // shortcut yet.
    for (HWND box : karvelo.MessageBoxes()) AnswerMessageBox(box, IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

}  // namespace
