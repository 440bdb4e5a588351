#include "strings.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace harrow {
namespace {

// Chinese is the wording the program was written in; the English follows
// it closely, keeping the line breaks and the leading blanks that the
// dialogs rely on for layout.
constexpr MessageEntry kMessages[] = {
    {128, "QUIDNEY\n\nQUIDNE\n\n\nQUIDNEY.Document\nQUIDNE 文档",
     "QUIDNEY\n\nQUIDNE\n\n\nQUIDNEY.Document\nQUIDNE Document"},
    {32772, "基本根目录", "Basic root directory"},
    {32773, "搜索根目录", "Search root directories"},
    {32774, "无用信息目录", "Lost directories"},
    {32775, "全部目录", "All directories found"},
    {32798, "所有文件", "All file records"},
    {61205, "宋体", "SimSun"},
    {61207, "未确认的文件格式 (您的文件系统可能被破坏)",
     "Unrecognised file format (your file system may be damaged)"},
    {61208, "名称", "Name"},
    {61209, "日期", "Date"},
    {61210, "簇", "Cluster"},
    {61211, "大小", "Size"},
    {61212, "十六进制查看", "Hex view"},
    {61213, "文本查看", "Text view"},
    {61216, "无 FAT", "No FAT"},
    {61217, " FAT%d 是无效的\n 选择另一个 FAT", " FAT%d is invalid\n Choose another FAT"},
    {61219, "选定 %d 个文件", "%d files selected"},
    {61220, "总共 %d 个文件", "%d files in all"},
    {61221, "无法打开驱动器", "Cannot open the drive"},
    {61222, "无法打开驱动器\n您必须有管理员特权",
     "Cannot open the drive\nYou must have administrator rights"},
    {61223, "Harrow", "Harrow"},
    {61224, "Harrow (%c:)", "Harrow (%c:)"},
    {61225, "已搜索文件 :", "Files found :"},
    {61226, "已搜索目录 :", "Directories found :"},
    {61227, "", ""},
    {61228, "无法读取簇 %lu\n\n您要继续吗 ？\n",
     "Cannot read cluster %lu\n\nDo you want to continue?\n"},
    {61229, "无效的范围 ！！！", "Invalid range!!!"},
    {61231, "这个程序不能工作于 NT 3.51 或更低的版本。",
     "This program does not work on NT 3.51 or earlier."},
    {61233, "无法写入 %s！", "Cannot write %s!"},
    {61236, "无法保存在选定的驱动器\n\n   选择另一个驱动器！",
     "Cannot save on the selected drive\n\n   Choose another drive!"},
    {61237, "无法创建 %s！", "Cannot create %s!"},
    {61238, "不足的磁盘自由空间！", "Not enough free disk space!"},
    {61239, "Harrow(%s : %lu-%lu)", "Harrow(%s : %lu-%lu)"},
    {61241, "创建一个 socket 失败", "Creating a socket failed"},
    {61243, "正在关闭连接", "Closing the connection"},
    {61244, "服务器已经重置连接", "The server has reset the connection"},
    {61245, "连接已失败", "The connection failed"},
    {61246, "错密码", "Wrong password"},
    {61249, "无法打开 %s！", "Cannot open %s!"},
    {61250, "无法访问 %s！", "Cannot access %s!"},
    {61251, "无法读取 %s！", "Cannot read %s!"},
    {61716, "请输入 %1 个以下的字符。", "Please enter no more than %1 characters."},
    {70001, "无法再读取 %s，操作已中止。", "%s can no longer be read; the operation stops."},
    {70002, "簇 %lu 的 \".\" 项指向另一个簇", "Cluster %lu: its \".\" entry names another cluster"},
    {70003, "$MFT 的第一个记录已损坏，改用 $MFTMirr 中的副本。",
     "The first record of $MFT is damaged; its copy in $MFTMirr is used instead."},
    {70004, "无法读取 $MFT，$MFTMirr 中的副本也无法使用。只有扫描磁盘才能找到文件记录。",
     "$MFT cannot be read, nor its copy in $MFTMirr. Only the disk scan can find file records."},
    {70005, "文件记录 %lu 的目录索引已损坏：索引块 %lu 下的项无法列出。",
     "The directory index of file record %lu is damaged: the entries under index block %lu cannot be listed."},
    {70006, "无法读取 %s：没有权限。\n\n请把您的用户加入 disk 组 (sudo usermod -aG disk $USER，然后重新登录)，或在 Harrow 窗口中打开它：窗口可通过桌面的磁盘授权以只读方式打开。",
     "Cannot read %s: permission denied.\n\nAdd your user to the disk group (sudo usermod -aG disk $USER, then log in again), or open it in the Harrow window, which can open it read-only through the desktop's disk authorisation."},
    {70007, "无法读取根目录，列出的内容可能不完整。", "The root directory cannot be read; what is listed of it may be incomplete."},
    {70010, "%s 既不是块设备也不是普通文件：只能从磁盘、分区或镜像文件中恢复。",
     "%s is neither a block device nor a regular file: Harrow reads disks, partitions and image files."},
    {70011, "无法读取 %s 的引导扇区 (扇区 0)：卷是空的、太短，或扇区无法读取。",
     "Cannot read the boot sector (sector 0) of %s: the volume is empty, too short, or the sector cannot be read."},
    {70012, "引导扇区已损坏：改用扇区 %lu 上的备份引导扇区。", "The boot sector is damaged: the backup boot sector in sector %lu is used."},
    {70013, "这是 exFAT 卷：本程序尚不能读取 exFAT，只能读取 FAT12、FAT16、FAT32 和 NTFS。",
     "This is an exFAT volume: Harrow does not read exFAT yet, only FAT12, FAT16, FAT32 and NTFS."},
    {70014, "文件记录 %lu 的索引块 %lu 不在镜像文件中：它下面的项没有保存在镜像里，无法列出。",
     "File record %lu: index block %lu is not in the image file; the entries under it were not saved in the image and cannot be listed."},
    {70015, "您没有读取 %s 的权限。\n\n要通过系统的磁盘授权 (UDisks2) 以只读方式打开它吗？系统会请您确认身份。",
     "You may not read %s.\n\nOpen it read-only through the system's disk authorisation (UDisks2)? The system will ask you to confirm who you are."},
    {70016, "无法通过系统的磁盘授权打开 %s：%s", "%s could not be opened through the system's disk authorisation: %s"},
    {70020, "镜像文件无法保存此卷：其几何参数 (%d 字节的扇区) 超出镜像文件格式所能描述的范围。",
     "An image file cannot hold this volume: its geometry (sectors of %d bytes) is beyond what the image format describes."},
    {70030, "FAT%d 的扇区 %s 无法读取：其中的表项未知。经过这些表项的文件改用另一个 FAT 副本读取，否则不读取。",
     "FAT%d: sectors %s cannot be read. Their entries are unknown: a file whose clusters they describe is read through another FAT copy, or not at all."},
    {70031, "%s 经 FAT%d 读取：FAT%d 中描述它的表项无法读取。",
     "%s is read through FAT%d: the entries of FAT%d that describe it cannot be read."},
    {70032, "%s：所有 FAT 副本中描述它的簇的表项都无法读取。",
     "%s: no FAT copy could be read where its clusters are described."},
    {70033, "本次保存中其余的文件都经 %s 读取。", "The rest of this save is read through %s."},
    {70034, "%s 没有完成：原有的文件保持不变，已写入的部分保存为 %s。",
     "%s was not completed: the existing file is kept as it was, and the part written is kept as %s."},
    {70035, "%s 已存在，保持不变。", "%s exists, and is kept as it is."},
    {70036, "按推测读取：其簇链已被清除，内容无法证实它在哪些空闲簇中",
     "read as a guess: its cluster chain was cleared, and its content cannot confirm which free clusters held it"},
    {70037, "其簇链已被清除：各段在空闲簇中找到，并经其内容证实",
     "its cluster chain was cleared: its pieces were found among the free clusters, and its content confirms them"},
    {70040, "%lu 个不可能是文件的目录项已略过（簇 %lu 处的目录）。",
     "%lu entries that cannot be files were skipped (the directory at cluster %lu)."},
    {70041, "#孤立目录项", "#Orphan entries"},
    {70042, "已保存 %d 个文件，跳过 %d 个，失败 %d 个。", "Saved: %d files. Skipped: %d. Failed: %d."},
    {70043, "簇 %lu 处的目录占满了已读的簇，可能在别处还有后续：搜索磁盘可以找到。",
     "The directory at cluster %lu fills the clusters read, and may go on elsewhere: a search of the disk finds where."},
    {70050, "选定 1 个文件", "1 file selected"},
    {70060, "无法读取 %s：没有权限。\n\n该文件的权限不允许您读取：请文件的所有者允许您读取 (chmod a+r)，或改用您可以读取的副本。",
     "Cannot read %s: permission denied.\n\nThe file's permissions do not let you read it: ask its owner to allow reading (chmod a+r), or work on a copy you may read."},
    {70061, "无法读取 %s：没有权限，尽管 Harrow 以 root 身份运行。\n\n是文件权限之外的限制不让此进程读取：未获得该设备的容器 (docker run --device)、安全策略 (SELinux、AppArmor)，或不信任本机 root 的网络文件系统。",
     "Cannot read %s: permission denied, although Harrow runs as root.\n\nSomething beyond the permissions withholds it from this process: a container that was not given the device (docker run --device), a security policy (SELinux, AppArmor), or a network file system that does not trust this machine's root."},
    {70150, "不是名称模式：%s（* 代表任意个字符，? 代表一个字符，[abc] 代表其中之一；[ 须以 ] 结束，\\ 后须有字符）",
     "Not a name pattern: %s (* stands for any characters, ? for one, [abc] for one of them; a [ needs its ], a \\ a character after it)"},
    {70151, "不是大小：%s（如 +10M 表示至少 10 MiB，-1k 表示至多 1 KiB，100 表示正好 100 字节；单位 c、k、M、G、T）",
     "Not a size: %s (+10M means at least 10 MiB, -1k at most 1 KiB, 100 exactly 100 bytes; units c, k, M, G, T)"},
    {70152, "不是日期：%s（应为 YYYY-MM-DD 或 YYYY-MM-DDTHH:MM）", "Not a date: %s (write YYYY-MM-DD or YYYY-MM-DDTHH:MM)"},
    {70153, "这些大小条件互相排斥：没有文件能符合。", "These size bounds exclude each other: no file can match."},
    {70154, "没有日期既不早于“较新”的日期又早于“较旧”的日期：没有项能符合。",
     "No date is at or after the newer-than date and before the older-than date: no item can match."},
};

constexpr MessageEntry kServerMessages[] = {
    {128, "Harrowd\n\nHarrd\n文本文件 (*.txt)\n.txt\nHarrowd.Document\nHarrd 文档",
     "Harrowd\n\nHarrd\nText files (*.txt)\n.txt\nHarrowd.Document\nHarrd Document"},
    {130, " 连接 : 00", " Connections : 00"},
    {132, " 连接 : %d", " Connections : %d"},
    {57344, "Harrowd", "Harrowd"},
    {61205, "读取 socket 错误", "Socket read error"},
    {61206, "发送 socket 错误", "Socket send error"},
    {61225, "[%s] 登录(端口:%d)", "[%s] Login (port:%d)"},
    {61226, "[%s] 非法登录(端口:%d)", "[%s] Illegal login (port:%d)"},
    {61227, "[%s] 注销", "[%s] Logout"},
    {61228, "[%s] 打开 %s", "[%s] Open %s"},
    {61229, "Harrowd 在线 [%s-%s]", "Harrowd online [%s-%s]"},
    {61230, "Harrowd 离线 [%s-%s]", "Harrowd offline [%s-%s]"},
    // harrowd's window: its menus, tray menus and dialogs, which the original tables did not number.
    {70200, "文件(&F)", "&File"},
    {70201, "新建(&N)", "&New"},
    {70202, "保存(&S)", "&Save"},
    {70203, "退出(&X)", "E&xit"},
    {70204, "编辑(&E)", "&Edit"},
    {70205, "复制(&C)", "&Copy"},
    {70206, "查看(&V)", "&View"},
    {70207, "工具栏(&T)", "&Toolbar"},
    {70208, "状态栏(&S)", "&Status bar"},
    {70209, "连接信息", "Connection information"},
    {70210, "帮助(&H)", "&Help"},
    {70211, "关于 Harrowd(&A)...", "&About Harrowd..."},
    {70212, "打开", "Open"},
    {70213, "最小化", "Minimize"},
    {70214, "退出", "Exit"},
    {70215, "密码", "Password"},
    {70216, "客户端登录用的密码：", "The password clients log in with:"},
    {70217, "密码的长度必须是 %d 到 %d 个字节。", "The password must be %d to %d bytes long."},
    {70218, "是否保存对 %s 的更改？", "Save changes to %s?"},
    {70219, "无法在端口 %d 上监听：%s", "Cannot listen on port %d: %s"},
    {70220, "这个桌面没有通知区域：最小化的窗口留在任务栏上。",
     "This desktop has no notification area: the minimised window stays on the task bar."},
    {70221, "服务器地址：", "Server address:"},
    {70222, "Harrowd %s 版\n把本机的 FAT、exFAT 和 NTFS 卷提供给 Harrow。",
     "Harrowd version %s\nServes this machine's FAT, exFAT and NTFS volumes to Harrow."},
    {70223, "无法写入 %s！", "Cannot write %s!"},
    {70224, "就绪", "Ready"},
    {70225, "确定", "OK"},
    {70226, "取消", "Cancel"},
    {70227, "是(&Y)", "&Yes"},
    {70228, "否(&N)", "&No"},
};

// ---------------------------------------------------------------------------
// Compile-time checks on the tables.

constexpr bool idsStrictlyAscending(std::span<const MessageEntry> table) {
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (table[i - 1].id >= table[i].id) return false;
    }
    return true;
}

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool isOneOf(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

// "%1".."%9" not followed by anything that would continue a printf
// conversion ("%1d" is a width, not an insert).
constexpr bool isInsertAt(std::string_view s, std::size_t i) {
    if (i + 1 >= s.size() || s[i] != '%' || s[i + 1] < '1' || s[i + 1] > '9') return false;
    if (i + 2 >= s.size()) return true;
    const char next = s[i + 2];
    return !isDigit(next) && !isAsciiLetter(next) && next != '.' && next != '$' && next != '*';
}

// What one conversion consumes: the '*' of width and precision, the length
// modifiers and the conversion character (or "%N" for an insert). Flags and
// digits are left out because they do not change the arguments.
struct ConversionSig {
    char chars[8] = {};
    int count = 0;
    bool valid = true;

    constexpr void add(char c) {
        if (count < 8) chars[count++] = c;
        else valid = false;
    }
    constexpr bool operator==(const ConversionSig& other) const {
        if (count != other.count || valid != other.valid) return false;
        for (int i = 0; i < count; ++i) {
            if (chars[i] != other.chars[i]) return false;
        }
        return true;
    }
};

struct ScanStep {
    bool found = false;
    ConversionSig sig;
    std::size_t next = 0;
};

constexpr ScanStep nextConversion(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        if (s[i] != '%') {
            ++i;
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '%') {
            i += 2;
            continue;
        }
        ScanStep step;
        step.found = true;
        if (isInsertAt(s, i)) {
            step.sig.add('%');
            step.sig.add(s[i + 1]);
            step.next = i + 2;
            return step;
        }
        std::size_t j = i + 1;
        while (j < s.size() && isOneOf(s[j], "-+ #0")) ++j;
        if (j < s.size() && s[j] == '*') {
            step.sig.add('*');
            ++j;
        }
        while (j < s.size() && isDigit(s[j])) ++j;
        if (j < s.size() && s[j] == '.') {
            ++j;
            if (j < s.size() && s[j] == '*') {
                step.sig.add('*');
                ++j;
            }
            while (j < s.size() && isDigit(s[j])) ++j;
        }
        while (j < s.size() && isOneOf(s[j], "hlLjzt")) step.sig.add(s[j++]);
        if (j < s.size() && isOneOf(s[j], "diouxXeEfFgGaAcsp")) {
            step.sig.add(s[j++]);
        } else {
            step.sig.valid = false;
        }
        step.next = j;
        return step;
    }
    return {};
}

constexpr bool sameConversions(std::string_view a, std::string_view b) {
    std::size_t ia = 0;
    std::size_t ib = 0;
    for (;;) {
        const ScanStep sa = nextConversion(a, ia);
        const ScanStep sb = nextConversion(b, ib);
        if (sa.found != sb.found) return false;
        if (!sa.found) return true;
        if (!sa.sig.valid || !(sa.sig == sb.sig)) return false;
        ia = sa.next;
        ib = sb.next;
    }
}

constexpr bool languagesAgree(std::span<const MessageEntry> table) {
    for (const MessageEntry& e : table) {
        if (e.zh == nullptr || e.en == nullptr) return false;
        if (!sameConversions(e.zh, e.en)) return false;
    }
    return true;
}

static_assert(idsStrictlyAscending(kMessages), "message table must be sorted by id, without duplicates");
static_assert(idsStrictlyAscending(kServerMessages), "server message table must be sorted by id, without duplicates");
static_assert(languagesAgree(kMessages), "a message's translations disagree on their conversions");
static_assert(languagesAgree(kServerMessages), "a server message's translations disagree on their conversions");
// Guard the checker itself against silently accepting everything.
static_assert(!sameConversions("%lu", "%d") && !sameConversions("%s %d", "%d %s") &&
              !sameConversions("%1", "%d") && !sameConversions("%", "%") &&
              sameConversions("%%%-08.3lu", "x%lu%%") && sameConversions("a %1 b", "%1"));

// Each id's argument types against its text's conversions.
template <typename T> struct ArgClass;
template <> struct ArgClass<int> { static constexpr std::string_view sigs[] = {"d", "i", "c", "%"}; };
template <> struct ArgClass<unsigned> { static constexpr std::string_view sigs[] = {"u", "x", "X", "o"}; };
template <> struct ArgClass<unsigned long> { static constexpr std::string_view sigs[] = {"lu", "lx", "lX", "lo"}; };
template <> struct ArgClass<TextArg> { static constexpr std::string_view sigs[] = {"s"}; };

template <typename T>
constexpr bool accepts(const ConversionSig& sig) {
    if (!sig.valid) return false;
    // An insert ("%1") takes an int, whatever its number.
    const std::string_view have(sig.chars, sig.chars[0] == '%' ? 1 : static_cast<std::size_t>(sig.count));
    for (std::string_view want : ArgClass<T>::sigs)
        if (have == want) return true;
    return false;
}

template <typename... Args>
constexpr bool argumentsFit(std::string_view text) {
    constexpr bool (*checks[])(const ConversionSig&) = {accepts<Args>..., nullptr};
    std::size_t at = 0;
    for (std::size_t i = 0;; ++i) {
        const ScanStep step = nextConversion(text, at);
        if (!step.found) return i == sizeof...(Args);
        if (i == sizeof...(Args) || !checks[i](step.sig)) return false;
        at = step.next;
    }
}

constexpr const MessageEntry* entryOf(std::span<const MessageEntry> table, int id) {
    for (const MessageEntry& e : table)
        if (e.id == id) return &e;
    return nullptr;
}

template <typename... Args>
constexpr bool fits(MessageId<Args...> m) {
    const MessageEntry* e = entryOf(kMessages, m.id);
    return e && argumentsFit<Args...>(e->zh) && argumentsFit<Args...>(e->en);
}
template <typename... Args>
constexpr bool fits(ServerMessageId<Args...> m) {
    const MessageEntry* e = entryOf(kServerMessages, m.id);
    return e && argumentsFit<Args...>(e->zh) && argumentsFit<Args...>(e->en);
}
template <typename... Args>
constexpr bool fits(FixedText<Args...> t) {
    return argumentsFit<Args...>(t.text);
}

static_assert(fits(msg::kDocumentString) && fits(msg::kComboFontFace) && fits(msg::kUnknownFormat) &&
              fits(msg::kColumnName) && fits(msg::kColumnDate) && fits(msg::kColumnCluster) && fits(msg::kColumnSize) &&
              fits(msg::kHexViewCaption) && fits(msg::kTextViewCaption) && fits(msg::kNoFat) && fits(msg::kFatInvalid) &&
              fits(msg::kSelectedFiles) && fits(msg::kTotalFiles) && fits(msg::kCannotOpenDrive) &&
              fits(msg::kCannotOpenDriveAdmin) && fits(msg::kTitle) && fits(msg::kTitleDrive) &&
              fits(msg::kFilesFoundLabel) && fits(msg::kDirsFoundLabel) && fits(msg::kDotEntryMismatch) &&
              fits(msg::kCannotReadCluster) && fits(msg::kInvalidRange) && fits(msg::kNtTooOld) &&
              fits(msg::kCannotWrite) && fits(msg::kCannotSaveOnSource) && fits(msg::kCannotCreate) &&
              fits(msg::kDiskFull) && fits(msg::kTitleImage) && fits(msg::kSocketFailed) &&
              fits(msg::kClosingConnection) && fits(msg::kConnectionReset) && fits(msg::kConnectFailed) &&
              fits(msg::kWrongPassword) && fits(msg::kCannotOpenItem) && fits(msg::kCannotAccess) &&
              fits(msg::kCannotReadItem) && fits(msg::kTooManyChars) && fits(msg::kModeBasicRoot) &&
              fits(msg::kModeSearchRoot) && fits(msg::kModeLostDirs) && fits(msg::kModeAllDirs) &&
              fits(msg::kModeAllFiles) && fits(msg::kSourceLost) && fits(msg::kDotNamesOtherCluster) &&
              fits(msg::kMftFromMirror) && fits(msg::kMftUnreadable) && fits(msg::kIndexDamaged) &&
              fits(msg::kNoPermission) && fits(msg::kRootUnreadable) && fits(msg::kNotADisk) &&
              fits(msg::kCannotReadBootSector) && fits(msg::kBackupBootSector) && fits(msg::kImageGeometry) &&
              fits(msg::kExfatNotRead) && fits(msg::kIndexNotInImage) &&
              fits(msg::kOpenThroughAuthorisation) && fits(msg::kAuthorisationFailed) &&
              fits(msg::kNoPermissionFile) && fits(msg::kNoPermissionAsRoot) && fits(msg::kFilterBadGlob) &&
              fits(msg::kFilterBadSize) && fits(msg::kFilterBadDate) && fits(msg::kFilterSizesExclude) &&
              fits(msg::kFilterDatesExclude),
              "a message id's argument types do not match its text");
static_assert(fits(servermsg::kDocumentString) && fits(servermsg::kConnectionsInitial) && fits(servermsg::kConnections) &&
              fits(servermsg::kSocketReadError) && fits(servermsg::kSocketSendError) && fits(servermsg::kLogin) &&
              fits(servermsg::kIllegalLogin) && fits(servermsg::kLogout) && fits(servermsg::kOpenDrive) &&
              fits(servermsg::kTipOnline) && fits(servermsg::kTipOffline) && fits(servermsg::kProgramTitle) &&
              fits(servermsg::kPasswordLength) && fits(servermsg::kAskSaveChanges) && fits(servermsg::kCannotListen) &&
              fits(servermsg::kAboutText) && fits(servermsg::kCannotWriteLog),
              "a server message id's argument types do not match its text");
static_assert(fits(diag::kCantChangeDir) && fits(diag::kCantChangeToParentDir) && fits(diag::kCantLoadMftWithoutMft0) &&
              fits(diag::kCantDecodeRunType) && fits(diag::kNotIndexRecord),
              "a diagnostic's argument types do not match its text");
// Guard the checker itself.
static_assert(!argumentsFit<int>("%lu") && !argumentsFit<TextArg>("%d") && !argumentsFit<int, int>("%d") &&
              argumentsFit<int>("a %1 b") && argumentsFit<TextArg, unsigned long>("%s: %lu"));

// ---------------------------------------------------------------------------

const MessageEntry* findEntry(std::span<const MessageEntry> table, int id) {
    const auto it = std::lower_bound(table.begin(), table.end(), id,
                                     [](const MessageEntry& e, int value) { return e.id < value; });
    if (it == table.end() || it->id != id) return nullptr;
    return &*it;
}

const char* textOf(std::span<const MessageEntry> table, int id, Lang lang) {
    const MessageEntry* e = findEntry(table, id);
    if (e == nullptr) return "";
    return lang == Lang::En ? e->en : e->zh;
}

int highestInsert(std::string_view text) {
    int highest = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isInsertAt(text, i)) highest = std::max(highest, text[i + 1] - '0');
    }
    return highest;
}

std::string expandInserts(std::string_view text, int count, std::va_list args) {
    int values[9] = {};
    for (int i = 0; i < count; ++i) values[i] = va_arg(args, int);
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isInsertAt(text, i)) {
            out += std::to_string(values[text[i + 1] - '1']);
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

constexpr int kUndecided = -1;
std::atomic<int> gLanguage{kUndecided};

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

} // namespace

Lang languageFromEnvironment() {
    if (const char* forced = std::getenv("HARROW_LANG")) {
        if (equalsIgnoreCase(forced, "en")) return Lang::En;
        if (equalsIgnoreCase(forced, "zh")) return Lang::Zh;
    }
    // The usual locale precedence: the first variable that is set and not
    // empty decides, even when it names a locale we do not translate to.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return std::string_view(value).starts_with("en") ? Lang::En : Lang::Zh;
        }
    }
    return Lang::Zh;
}

Lang language() {
    int current = gLanguage.load(std::memory_order_acquire);
    if (current == kUndecided) {
        int expected = kUndecided;
        const int decided = static_cast<int>(languageFromEnvironment());
        // A concurrent setLanguage() or first call wins over this one.
        gLanguage.compare_exchange_strong(expected, decided, std::memory_order_acq_rel);
        current = gLanguage.load(std::memory_order_acquire);
    }
    return static_cast<Lang>(current);
}

void setLanguage(Lang lang) { gLanguage.store(static_cast<int>(lang), std::memory_order_release); }

const char* messageText(int id) { return textOf(kMessages, id, language()); }
const char* messageText(int id, Lang lang) { return textOf(kMessages, id, lang); }
bool hasMessage(int id) { return findEntry(kMessages, id) != nullptr; }
std::span<const MessageEntry> allMessages() { return kMessages; }

const char* serverMessageText(int id) { return textOf(kServerMessages, id, language()); }
const char* serverMessageText(int id, Lang lang) { return textOf(kServerMessages, id, lang); }
bool hasServerMessage(int id) { return findEntry(kServerMessages, id) != nullptr; }
std::span<const MessageEntry> allServerMessages() { return kServerMessages; }

namespace {

std::string vformatChecked(const char* text, std::va_list args) {
    if (text == nullptr || *text == '\0') return {};
    const std::string_view view(text);
    if (const int inserts = highestInsert(view); inserts > 0) {
        std::va_list copy;
        va_copy(copy, args);
        std::string out = expandInserts(view, inserts, copy);
        va_end(copy);
        return out;
    }
    std::va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, text, sizing);
    va_end(sizing);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(out.data(), out.size() + 1, text, args);
    return out;
}

}  // namespace

namespace detail {

std::string formatChecked(const char* text, ...) {
    std::va_list args;
    va_start(args, text);
    std::string out = vformatChecked(text, args);
    va_end(args);
    return out;
}

}  // namespace detail

} // namespace harrow
