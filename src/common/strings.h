// The string table: every numbered user-visible text, in the program's own
// Chinese wording and in English, plus the few diagnostics that were never
// translated and stay English in both languages.
//
// Two tables live here because harrow and harrowd number their strings
// independently and reuse several numbers (61205, 61225-61230, 128) for
// different texts. Core code and the harrow front ends use messageText();
// harrowd uses serverMessageText().
//
// Texts are printf formats in the C sense ("%lu" wants an unsigned long,
// "%c" an int holding a character), except 61716, which uses the "%1"
// insert style: formatMessage() replaces "%1" with its first argument taken
// as an int. Both languages of an entry carry the same conversions in the
// same order; strings.cpp checks that at compile time.
//
// messageText(61227) is deliberately empty in both languages. The message
// shown when a candidate directory's "." entry names another cluster has no
// wording of its own; callers build their own text around the cluster number.
// hasMessage(61227) is still true.
#pragma once

#include <cstdarg>
#include <span>
#include <string>

namespace harrow {

enum class Lang { Zh, En };

struct MessageEntry {
    int id;
    const char* zh;
    const char* en;
};

// The current language. The first call (unless setLanguage() came first)
// decides it from the environment, once per process.
Lang language();
// The --lang flag; wins over the environment from then on.
void setLanguage(Lang);
// HARROW_LANG=en|zh (any letter case) wins; otherwise the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty decides: a value starting
// with "en" gives English, anything else (C, POSIX, zh_CN...) Chinese.
// Nothing set at all gives Chinese, the program's own language.
Lang languageFromEnvironment();

// harrow's table. Unknown ids give "" (never nullptr).
const char* messageText(int id);
const char* messageText(int id, Lang);
bool hasMessage(int id);
// printf-style formatting of messageText(id). An unknown id gives "".
std::string formatMessage(int id, ...);
// Sorted by id, ascending, no duplicates.
std::span<const MessageEntry> allMessages();

// harrowd's table, same rules.
const char* serverMessageText(int id);
const char* serverMessageText(int id, Lang);
bool hasServerMessage(int id);
std::string formatServerMessage(int id, ...);
std::span<const MessageEntry> allServerMessages();

// The formatting behind formatMessage(), for texts that do not come from a
// table (the diag constants below) and for wrappers that take their own
// varargs. A text holding a "%1".."%9" insert is expanded insert style:
// the arguments are read as ints in order and every other character is
// copied as it stands; any other text goes through vsnprintf.
std::string formatText(const char* text, ...);
std::string vformatText(const char* text, std::va_list args);

// Ids of harrow's table.
namespace msg {
inline constexpr int kDocumentString = 128;     // framework document template string
inline constexpr int kComboFontFace = 61205;    // face name of the history combo's font
inline constexpr int kUnknownFormat = 61207;
inline constexpr int kColumnName = 61208;
inline constexpr int kColumnDate = 61209;
inline constexpr int kColumnCluster = 61210;
inline constexpr int kColumnSize = 61211;
inline constexpr int kHexViewCaption = 61212;
inline constexpr int kTextViewCaption = 61213;
inline constexpr int kNoFat = 61216;
inline constexpr int kFatInvalid = 61217;       // %d: 1-based FAT copy
inline constexpr int kSelectedFiles = 61219;    // %d
inline constexpr int kTotalFiles = 61220;       // %d
inline constexpr int kCannotOpenDrive = 61221;
inline constexpr int kCannotOpenDriveAdmin = 61222;
inline constexpr int kTitle = 61223;
inline constexpr int kTitleDrive = 61224;       // %c: drive letter
inline constexpr int kFilesFoundLabel = 61225;  // scan dialog, NTFS
inline constexpr int kDirsFoundLabel = 61226;   // scan dialog, FAT
inline constexpr int kDotEntryMismatch = 61227; // empty: caller formats its own text
inline constexpr int kCannotReadCluster = 61228; // %lu: cluster
inline constexpr int kInvalidRange = 61229;
inline constexpr int kNtTooOld = 61231;
inline constexpr int kCannotWrite = 61233;      // %s: path
inline constexpr int kCannotSaveOnSource = 61236;
inline constexpr int kCannotCreate = 61237;     // %s: path
inline constexpr int kDiskFull = 61238;
inline constexpr int kTitleImage = 61239;       // %s path, %lu first, %lu last cluster
inline constexpr int kSocketFailed = 61241;
inline constexpr int kClosingConnection = 61243;
inline constexpr int kConnectionReset = 61244;
inline constexpr int kConnectFailed = 61245;
inline constexpr int kWrongPassword = 61246;
inline constexpr int kCannotOpenItem = 61249;   // %s: item name
inline constexpr int kCannotAccess = 61250;     // %s: path
inline constexpr int kCannotReadItem = 61251;   // %s: item name
inline constexpr int kTooManyChars = 61716;     // %1: the limit
// The list modes share their numbers with the menu commands that select
// them; the entry holds the mode's short name, as the history combo's root
// row shows it between "< " and " >".
inline constexpr int kModeBasicRoot = 32772;
inline constexpr int kModeSearchRoot = 32773;
inline constexpr int kModeLostDirs = 32774;
inline constexpr int kModeAllDirs = 32775;
inline constexpr int kModeAllFiles = 32798;
} // namespace msg

// Ids of harrowd's table.
namespace servermsg {
inline constexpr int kDocumentString = 128;
inline constexpr int kConnectionsInitial = 130; // status pane before the first update
inline constexpr int kConnections = 132;        // %d: live connections
inline constexpr int kSocketReadError = 61205;
inline constexpr int kSocketSendError = 61206;
inline constexpr int kLogin = 61225;            // %s peer address, %d port
inline constexpr int kIllegalLogin = 61226;     // %s peer address, %d port
inline constexpr int kLogout = 61227;           // %s peer address
inline constexpr int kOpenDrive = 61228;        // %s peer address, %s path
inline constexpr int kTipOnline = 61229;        // %s address text, %s computer name
inline constexpr int kTipOffline = 61230;       // %s address text, %s computer name
inline constexpr int kProgramTitle = 57344;
} // namespace servermsg

// Hard-coded English texts. They are the same in every language, so
// scripts and bug reports can match them; keep them byte for byte.
namespace diag {
// Shown in message boxes.
inline constexpr const char kCantChangeDir[] = "Can't Change Directory to %s";
inline constexpr const char kCantChangeToParentDir[] = "Can't Change to Parent Directory(cluster %lu)";
inline constexpr const char kCantAllocDirList[] = "Fatal error : Can't allocate momory for dir list";
inline constexpr const char kCantAllocVirtualMemory[] = "Fatal error : Can't allocate virtual memory";
inline constexpr const char kCantRunOnMachine[] = "This Program Can't be run on this machine";
inline constexpr const char kInodeNotFound[] = "Inode not found";
inline constexpr const char kProblemLoadingMft[] = "Problem loading MFT";
inline constexpr const char kCantLoadMftWithoutMft0[] = "Cannot load mft %x without mft 0";
inline constexpr const char kCompressedChunkError[] = "Compressed Chunk Error";
inline constexpr const char kScanDiskNotOpen[] = "\"Scan Disk\" Error - Retry \"Open Drive\"";
inline constexpr const char kSaveClustersNotOpen[] = "\"Save Clusters\" Error - Retry \"Open Drive\"";
inline constexpr const char kCantAllocMemory[] = "Can't allocate memory";
inline constexpr const char kMemoryAllocationError[] = "Memory allocation error";
inline constexpr const char kNoNetworkProtocol[] = "No network protocol assigned";

// NTFS diagnostics: formatted into a 256-byte buffer for debugging, never
// shown to the user. Some carry their own trailing newline.
inline constexpr const char kRunlistInExtendedRecord[] = "Problem with runlist in extended record";
inline constexpr const char kCantDecodeRunType[] = "Can't decode run type field %x\n";
inline constexpr const char kReadError[] = "Read error";
inline constexpr const char kDecompressError1[] = "Error 1 in decompress\n";
inline constexpr const char kDecompressError2[] = "Error 2 in decompress\n";
inline constexpr const char kUnexpectedSparseChunk[] = "unexpected sparse chunk size";
inline constexpr const char kTooManyEntries[] = "Too many entries\n";
inline constexpr const char kUnknownEncoding[] = "Unknown encoding\n";
inline constexpr const char kNotADirectory[] = "Not a directory\n";
inline constexpr const char kInfiniteLoop[] = "infinite loop\n";
inline constexpr const char kIllegalDescend[] = "illegal descend call\n";
inline constexpr const char kIndexReadFailed[] = "read failed\n";
inline constexpr const char kNotIndexRecord[] = "%x is not an index record\n";
} // namespace diag

// Hard-coded English labels of the drive selection and connect dialogs.
namespace label {
inline constexpr const char kDriveColumn[] = "Drive";
inline constexpr const char kFloppy[] = "Floppy (%c:)";
inline constexpr const char kRemovableDisk[] = "Removable disk (%c:)";
inline constexpr const char kFixedDisk[] = "%s (%c:)"; // volume label, letter
inline constexpr const char kProtocolTcp[] = "TCP/IP (Harrowd)";
inline constexpr const char kProtocolIpx[] = "IPX/SPX (Harrowipx)";
} // namespace label

} // namespace harrow
