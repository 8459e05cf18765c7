// The Win32 program's own texts, all GBK (so in the core's form; they reach
// the system through ui/wide_text.h).  Texts the command line shows too
// (input-check warnings, captions, progress formats) live in the core
// (relocate/run_inputs.h, util/front_end.h) and are not repeated here.
#pragma once

// Controls of the main window, page 1.
extern const char TEXT_PANEL[];                   // "panel"
extern const char TEXT_PACKAGE_HEADING[];         // "第一步：选择淘宝助理导出的数据包(CSV)文件"
extern const char TEXT_PACKAGE_HINT[];            // "选择淘宝助理(版本:5.x+)导出的CSV文件或..."
extern const char TEXT_CHOOSE_PACKAGE[];          // "选择CSV文件..."
// Page 2.
extern const char TEXT_OPTIONS_HEADING[];         // "第二步：设置图片搬家选项，准备进行搬家"
extern const char TEXT_OPTIONS_HINT[];            // "如果搬家开始后中途关闭，..."
extern const char TEXT_IMAGE_SPACE[];             // "搬来自淘宝图片空间里的图片"
extern const char TEXT_THIRD_PARTY[];             // "搬来自第三方相册里的图片"
extern const char TEXT_BLANK_FAILED[];            // "将搬家失败的图片替换为空白图片"
extern const char TEXT_DESTINATION_LABEL[];       // "图片搬家到："
extern const char TEXT_CHOOSE_DESTINATION[];      // "选择..."
extern const char TEXT_FAILURES_LABEL[];          // "搬家失败的图片地址："
// Along the bottom.
extern const char TEXT_PREVIOUS[];                // "上一步"
extern const char TEXT_NEXT[];                    // "下一步"
extern const char TEXT_CLOSE[];                   // "关闭"
extern const char TEXT_HELP_LINK[];               // "搬家教程与常见问题"
extern const char TEXT_SITE_LINK[];               // "官方网站"

// The face of every font the window makes.
extern const char FONT_FACE_SONG[];               // "宋体"

// Start-up.
extern const char MESSAGE_UNPACK_FIRST[];         // "请先对软件压缩包进行解压缩后再启动软件。..."
extern const char MESSAGE_WINSOCK_FAILED[];       // "WSAStartup() failed!"
extern const char MESSAGE_WINSOCK_VERSION[];      // "Invalid WinSock version!"
extern const char QUESTION_DESKTOP_SHORTCUT[];    // "需要在桌面上创建一个软件打开的快捷方式吗？"
extern const char TEXT_DONT_ASK_AGAIN[];          // "不用再提示"
extern const char TEXT_NO[];                      // "否(&N)"
extern const char MESSAGE_SHORTCUT_FAILED[];      // "在桌面上创建快捷方式失败"
extern const char MESSAGE_SHORTCUT_CREATED[];     // "在桌面上成功创建了一个快捷方式"

// Paths from the system that the program cannot use.
extern const char MESSAGE_PATH_UNREADABLE[];      // "所选文件或文件夹的路径中含有无法识别的字符，..."
extern const char MESSAGE_PATH_TOO_LONG[];        // "所选文件或文件夹的路径太长，..."
extern const char MESSAGE_PROGRAM_FOLDER_UNUSABLE[];  // "软件所在文件夹的路径中含有无法识别的字符或者太长，..."

// Closing during a run.
extern const char QUESTION_CLOSE_WHILE_RUNNING[]; // "正在搬家，确定要关闭吗？"
// Shown by the system while a shutdown or log-off waits for the write-back.
extern const wchar_t REASON_SAVING_PACKAGE[]; // "正在保存数据包，请稍候"

// The item list on page 2.
extern const char TEXT_COLUMN_TITLE[];            // "宝贝标题"
extern const char TEXT_COLUMN_STATE[];            // "状态"
extern const char TEXT_COLUMN_DESKTOP_FAILED[];   // "电脑端失败数"
extern const char TEXT_COLUMN_MOBILE_FAILED[];    // "手机端失败数"
extern const char TEXT_ITEM_WAITING[];            // "等待"
extern const char TEXT_DESKTOP_FAILURES[];        // "[宝贝描述]图片搬家失败列表，..."
extern const char TEXT_MOBILE_FAILURES[];         // "[无线详情]图片搬家失败列表，..."
extern const char FORMAT_FAILURES_LEFT_OUT[];     // "(另有%d个失败的图片地址未列出)"

// The wizard.
extern const char TITLE_CHOOSE_PACKAGE[];         // "选择淘宝助理导出的数据包(CSV)文件"
extern const char FILTER_PACKAGE[];               // "csv文件 (*.csv)\0*.csv\0"
extern const char TITLE_CHOOSE_DESTINATION[];     // "图片搬家到："
extern const char TEXT_START_RUN[];               // "开始搬家"
extern const char MESSAGE_RUN_THREAD_FAILED[];    // "启动图片搬家线程失败"
