// The desktop application's side of the string table: numbered messages as QStrings, and the
// labels of menus and dialogs, which have no number, in the program's Chinese and in English.
// Only GUI targets compile this file.
#pragma once

#include <QString>
#include <string>

#include "common/strings.h"

namespace harrow::gui {

struct UiText {
    const char* zh;
    const char* en;
};

// The label in the current language.
QString text(const UiText& t);
// A numbered message without arguments, or formatted with the arguments its id asks for.
QString message(int id);
template <typename... Args>
QString message(MessageId<Args...> m, std::type_identity_t<Args>... args) {
    return QString::fromStdString(formatMessage(m, args...));
}
inline QString qs(const std::string& s) { return QString::fromStdString(s); }
inline std::string ss(const QString& s) { return s.toStdString(); }

// Labels shared by more than one window. A dialog keeps the labels only it shows in its own file.
namespace uitext {
// Menus and commands.
inline constexpr UiText kFileMenu{"文件(&F)", "&File"};
inline constexpr UiText kEditMenu{"编辑(&E)", "&Edit"};
inline constexpr UiText kViewMenu{"查看(&V)", "&View"};
inline constexpr UiText kListMenu{"列表(&L)", "&List"};
inline constexpr UiText kToolsMenu{"工具(&T)", "&Tools"};
inline constexpr UiText kHelpMenu{"帮助(&H)", "&Help"};
inline constexpr UiText kOpenDrive{"打开驱动器(&O)", "&Open drive..."};
inline constexpr UiText kOpenImage{"打开镜像文件(&I)...", "Open &image file..."};
inline constexpr UiText kOpenFileDrive{"打开文件驱动器", "Open file drive..."};
inline constexpr UiText kOpenNetworkDrive{"打开网络驱动器", "Open network drive..."};
inline constexpr UiText kSave{"保存(&S)", "&Save"};
inline constexpr UiText kSaveClusters{"保存簇", "Save clusters..."};
inline constexpr UiText kExit{"退出(&X)", "E&xit"};
inline constexpr UiText kPreferences{"参数选择", "Preferences"};
inline constexpr UiText kDriveInformation{"驱动器信息", "Drive information"};
inline constexpr UiText kModeBasicRoot{"基本根目录(&B)", "&Basic root directory"};
inline constexpr UiText kModeSearchRoot{"搜索根目录(&S)", "&Search root directories"};
inline constexpr UiText kModeLostDirs{"无用信息目录(&G)", "&Lost directories"};
inline constexpr UiText kModeAllDirs{"全部目录(&T)", "All &directories found"};
inline constexpr UiText kModeAllFiles{"所有文件(仅仅 NTFS)", "All file &records (NTFS only)"};
inline constexpr UiText kSelectAll{"选择所有(&A)", "Select &all"};
inline constexpr UiText kSelectDeleted{"选择已删除的文件", "Select deleted files"};
inline constexpr UiText kSelectUnsaved{"选择未保存的文件", "Select unsaved files"};
inline constexpr UiText kInvertSelection{"反相选择", "Invert selection"};
inline constexpr UiText kRename{"重命名", "Rename"};
inline constexpr UiText kLargeIcons{"大图标(&G)", "Lar&ge icons"};
inline constexpr UiText kSmallIcons{"小图标(&M)", "S&mall icons"};
inline constexpr UiText kListStyle{"列表(&L)", "&List"};
inline constexpr UiText kDetails{"详细资料(&D)", "&Details"};
inline constexpr UiText kArrangeIcons{"排列图标(&I)", "Arrange &icons"};
inline constexpr UiText kSortByName{"按名称", "By name"};
inline constexpr UiText kSortByDate{"按日期", "By date"};
inline constexpr UiText kSortByCluster{"按簇", "By cluster"};
inline constexpr UiText kSortBySize{"按大小", "By size"};
inline constexpr UiText kParentDirectory{"上一级目录", "Parent directory"};
inline constexpr UiText kDirFat{"选择目录恢复的 FAT", "Choose the FAT for restoring directories"};
inline constexpr UiText kViewHex{"以十六进制查看(&H)", "View as &hex"};
inline constexpr UiText kViewText{"以文本查看(&T)", "View as &text"};
inline constexpr UiText kToolbar{"工具栏(&T)", "&Toolbar"};
inline constexpr UiText kStatusBar{"状态栏(&S)", "&Status bar"};
inline constexpr UiText kHelpContents{"帮助主题(&H)", "&Help topics"};
inline constexpr UiText kAbout{"关于 Harrow(&A)...", "&About Harrow..."};
inline constexpr UiText kHistory{"目录历史", "Directory history"};
inline constexpr UiText kReady{"就绪", "Ready"};
// Buttons.
inline constexpr UiText kOk{"确定", "OK"};
inline constexpr UiText kCancel{"取消", "Cancel"};
inline constexpr UiText kChoose{"选择", "Select"};
inline constexpr UiText kYes{"是(&Y)", "&Yes"};
inline constexpr UiText kNo{"否(&N)", "&No"};
// Waiting for long work.
inline constexpr UiText kWaitAMoment{"等候片刻 ...", "Please wait ..."};
inline constexpr UiText kAddingItems{"添加项目到列表", "Adding items to the list"};
inline constexpr UiText kAnalysingDirectories{"正在分析目录结构", "Analysing the directory structure"};
inline constexpr UiText kReadingDirectory{"正在读取目录", "Reading the directory"};
inline constexpr UiText kElapsed{"已逝去时间 :", "Elapsed time:"};
inline constexpr UiText kRemaining{"时间剩余 :", "Time remaining:"};
}  // namespace uitext

}  // namespace harrow::gui
