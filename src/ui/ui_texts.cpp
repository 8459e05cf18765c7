// The Win32 program's own texts.
//
// Encoding: this file, like all of src/ui/, is UTF-8 and is compiled with
// -finput-charset=UTF-8 -fexec-charset=GBK (set on the Win32 targets only in
// CMakeLists.txt), so the literals below are stored as GBK bytes and reach
// the window through the same conversion as every core text
// (ui/wide_text.h).  Core code keeps hex escapes instead.
#include "ui/ui_texts.h"

const char TEXT_PANEL[] = "panel";
const char TEXT_PACKAGE_HEADING[] = "第一步：选择淘宝助理导出的数据包(CSV)文件";
const char TEXT_PACKAGE_HINT[] = "选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。";
const char TEXT_CHOOSE_PACKAGE[] = "选择CSV文件...";

const char TEXT_OPTIONS_HEADING[] = "第二步：设置图片搬家选项，准备进行搬家";
const char TEXT_OPTIONS_HINT[] = "如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。";
const char TEXT_IMAGE_SPACE[] = "搬来自淘宝图片空间里的图片";
const char TEXT_THIRD_PARTY[] = "搬来自第三方相册里的图片";
const char TEXT_BLANK_FAILED[] = "将搬家失败的图片替换为空白图片";
const char TEXT_DESTINATION_LABEL[] = "图片搬家到：";
const char TEXT_CHOOSE_DESTINATION[] = "选择...";
const char TEXT_FAILURES_LABEL[] = "搬家失败的图片地址：";

const char TEXT_PREVIOUS[] = "上一步";
const char TEXT_NEXT[] = "下一步";
const char TEXT_CLOSE[] = "关闭";
const char TEXT_HELP_LINK[] = "搬家教程与常见问题";
const char TEXT_SITE_LINK[] = "官方网站";

const char FONT_FACE_SONG[] = "宋体";

const char MESSAGE_UNPACK_FIRST[] = "请先对软件压缩包进行解压缩后再启动软件。\n\n点击[确定]按钮，查看正确的解压缩方式。";
const char MESSAGE_WINSOCK_FAILED[] = "WSAStartup() failed!";
const char MESSAGE_WINSOCK_VERSION[] = "Invalid WinSock version!";
const char QUESTION_DESKTOP_SHORTCUT[] = "需要在桌面上创建一个软件打开的快捷方式吗？";
const char TEXT_DONT_ASK_AGAIN[] = "不用再提示";
const char TEXT_NO[] = "否(&N)";
const char MESSAGE_SHORTCUT_FAILED[] = "在桌面上创建快捷方式失败";
const char MESSAGE_SHORTCUT_CREATED[] = "在桌面上成功创建了一个快捷方式";

const char MESSAGE_PATH_UNREADABLE[] =
    "所选文件或文件夹的路径中含有无法识别的字符，请修改它的名称或换一个位置后重新选择。";
const char MESSAGE_PATH_TOO_LONG[] = "所选文件或文件夹的路径太长，请换一个路径较短的位置后重新选择。";
const char MESSAGE_PROGRAM_FOLDER_UNUSABLE[] =
    "软件所在文件夹的路径中含有无法识别的字符或者太长，请将软件移到其他文件夹后再启动。";

const char QUESTION_CLOSE_WHILE_RUNNING[] = "正在搬家，确定要关闭吗？";
const wchar_t REASON_SAVING_PACKAGE[] = L"正在保存数据包，请稍候";

const char TEXT_COLUMN_TITLE[] = "宝贝标题";
const char TEXT_COLUMN_STATE[] = "状态";
const char TEXT_COLUMN_DESKTOP_FAILED[] = "电脑端失败数";
const char TEXT_COLUMN_MOBILE_FAILED[] = "手机端失败数";
const char TEXT_ITEM_WAITING[] = "等待";
const char TEXT_DESKTOP_FAILURES[] =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char TEXT_MOBILE_FAILURES[] =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char FORMAT_FAILURES_LEFT_OUT[] = "(另有%d个失败的图片地址未列出)";

const char TITLE_CHOOSE_PACKAGE[] = "选择淘宝助理导出的数据包(CSV)文件";
// One filter entry: label, pattern, and the list's closing empty string.
const char FILTER_PACKAGE[] = "csv文件 (*.csv)\0*.csv\0";
const char TITLE_CHOOSE_DESTINATION[] = "图片搬家到：";
const char TEXT_START_RUN[] = "开始搬家";
const char MESSAGE_RUN_THREAD_FAILED[] = "启动图片搬家线程失败";
