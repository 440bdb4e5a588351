// The string table: every numbered user-visible text, in the program's own
// Chinese wording and in English, plus the few diagnostics that were never
// translated and stay English in both languages.
//
// Two tables live here because harrow and harrowd number their strings
// independently and reuse several numbers (61205, 61225-61230, 128) for
// different texts. Core code and the harrow front ends use messageText();
// harrowd uses serverMessageText(). Texts of harrow's own making, which the
// original tables never had, are numbered from 70001.
//
// Texts are printf formats in the C sense, except 61716, which uses the "%1"
// insert style (its argument is an int). A message id carries the types of
// its arguments (MessageId<unsigned long> for "%lu"), so formatMessage() takes
// exactly those: a wrong argument is a compile error, not undefined
// behaviour. strings.cpp checks at compile time that each id's types match
// its text's conversions, in both languages.
//
// messageText(61227) is deliberately empty in both languages. The message
// shown when a candidate directory's "." entry names another cluster has no
// wording of its own; 70002 is the text harrow shows for it.
// hasMessage(61227) is still true.
#pragma once

#include <cstdarg>
#include <span>
#include <string>
#include <type_traits>

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

// A text argument: any string, handed on as a C string.
class TextArg {
public:
    TextArg(const char* s) : s_(s ? s : "") {}
    TextArg(const std::string& s) : s_(s.c_str()) {}
    const char* c_str() const { return s_; }

private:
    const char* s_;
};

// The number of a message of harrow's table (or, with Server, harrowd's), and the types of its
// arguments in order: int ("%d", "%c" or an insert), unsigned ("%u", "%x"), unsigned long
// ("%lu"), TextArg ("%s").
template <typename... Args>
struct MessageId {
    int id;
    constexpr operator int() const { return id; }
};
template <typename... Args>
struct ServerMessageId {
    int id;
    constexpr operator int() const { return id; }
};
// A hard-coded English text with arguments of those types.
template <typename... Args>
struct FixedText {
    const char* text;
};

namespace detail {
// printf formatting of a text whose arguments were checked against it. A text holding a
// "%1".."%9" insert is expanded insert style (the arguments are ints); any other goes through
// vsnprintf.
std::string formatChecked(const char* text, ...);
inline int vararg(int v) { return v; }
inline unsigned vararg(unsigned v) { return v; }
inline unsigned long vararg(unsigned long v) { return v; }
inline const char* vararg(const TextArg& v) { return v.c_str(); }
}  // namespace detail

// harrow's table. Unknown ids give "" (never nullptr).
const char* messageText(int id);
const char* messageText(int id, Lang);
bool hasMessage(int id);
// Sorted by id, ascending, no duplicates.
std::span<const MessageEntry> allMessages();

template <typename... Args>
std::string formatMessage(MessageId<Args...> m, std::type_identity_t<Args>... args) {
    return detail::formatChecked(messageText(m.id), detail::vararg(args)...);
}

// harrowd's table, same rules.
const char* serverMessageText(int id);
const char* serverMessageText(int id, Lang);
bool hasServerMessage(int id);
std::span<const MessageEntry> allServerMessages();

template <typename... Args>
std::string formatServerMessage(ServerMessageId<Args...> m, std::type_identity_t<Args>... args) {
    return detail::formatChecked(serverMessageText(m.id), detail::vararg(args)...);
}

template <typename... Args>
std::string formatText(FixedText<Args...> t, std::type_identity_t<Args>... args) {
    return detail::formatChecked(t.text, detail::vararg(args)...);
}

// Ids of harrow's table.
namespace msg {
inline constexpr MessageId<> kDocumentString{128};     // framework document template string
inline constexpr MessageId<> kComboFontFace{61205};    // face name of the history combo's font
inline constexpr MessageId<> kUnknownFormat{61207};
inline constexpr MessageId<> kColumnName{61208};
inline constexpr MessageId<> kColumnDate{61209};
inline constexpr MessageId<> kColumnCluster{61210};
inline constexpr MessageId<> kColumnSize{61211};
inline constexpr MessageId<> kHexViewCaption{61212};
inline constexpr MessageId<> kTextViewCaption{61213};
inline constexpr MessageId<> kNoFat{61216};
inline constexpr MessageId<int> kFatInvalid{61217};        // 1-based FAT copy
inline constexpr MessageId<int> kSelectedFiles{61219};
inline constexpr MessageId<int> kTotalFiles{61220};
inline constexpr MessageId<> kCannotOpenDrive{61221};
inline constexpr MessageId<> kCannotOpenDriveAdmin{61222};
inline constexpr MessageId<> kTitle{61223};
inline constexpr MessageId<int> kTitleDrive{61224};        // drive letter
inline constexpr MessageId<> kFilesFoundLabel{61225};      // scan dialog, NTFS
inline constexpr MessageId<> kDirsFoundLabel{61226};       // scan dialog, FAT
inline constexpr MessageId<> kDotEntryMismatch{61227};     // empty: kDotNamesOtherCluster is shown
inline constexpr MessageId<unsigned long> kCannotReadCluster{61228};
inline constexpr MessageId<> kInvalidRange{61229};
inline constexpr MessageId<> kNtTooOld{61231};
inline constexpr MessageId<TextArg> kCannotWrite{61233};   // path
inline constexpr MessageId<> kCannotSaveOnSource{61236};
inline constexpr MessageId<TextArg> kCannotCreate{61237};  // path
inline constexpr MessageId<> kDiskFull{61238};
inline constexpr MessageId<TextArg, unsigned long, unsigned long> kTitleImage{61239};  // path, first, last cluster
inline constexpr MessageId<> kSocketFailed{61241};
inline constexpr MessageId<> kClosingConnection{61243};
inline constexpr MessageId<> kConnectionReset{61244};
inline constexpr MessageId<> kConnectFailed{61245};
inline constexpr MessageId<> kWrongPassword{61246};
inline constexpr MessageId<TextArg> kCannotOpenItem{61249};  // item name
inline constexpr MessageId<TextArg> kCannotAccess{61250};    // path
inline constexpr MessageId<TextArg> kCannotReadItem{61251};  // item name
inline constexpr MessageId<int> kTooManyChars{61716};        // the limit
// The list modes share their numbers with the menu commands that select
// them; the entry holds the mode's short name, as the history combo's root
// row shows it between "< " and " >".
inline constexpr MessageId<> kModeBasicRoot{32772};
inline constexpr MessageId<> kModeSearchRoot{32773};
inline constexpr MessageId<> kModeLostDirs{32774};
inline constexpr MessageId<> kModeAllDirs{32775};
inline constexpr MessageId<> kModeAllFiles{32798};
// harrow's own.
inline constexpr MessageId<TextArg> kSourceLost{70001};          // device or file
inline constexpr MessageId<unsigned long> kDotNamesOtherCluster{70002};
inline constexpr MessageId<> kMftFromMirror{70003};
inline constexpr MessageId<> kMftUnreadable{70004};
inline constexpr MessageId<unsigned long, unsigned long> kIndexDamaged{70005};  // record, index block
inline constexpr MessageId<TextArg> kNoPermission{70006};        // device or file
inline constexpr MessageId<> kRootUnreadable{70007};
inline constexpr MessageId<TextArg> kNotADisk{70010};            // path
inline constexpr MessageId<TextArg> kCannotReadBootSector{70011};  // device or file
inline constexpr MessageId<unsigned long> kBackupBootSector{70012};  // the backup's sector
inline constexpr MessageId<> kExfatNotRead{70013};
inline constexpr MessageId<unsigned long, unsigned long> kIndexNotInImage{70014};  // record, index block
inline constexpr MessageId<TextArg> kOpenThroughAuthorisation{70015};  // device
inline constexpr MessageId<TextArg, TextArg> kAuthorisationFailed{70016};  // device, why
inline constexpr MessageId<int> kImageGeometry{70020};           // bytes per sector
inline constexpr MessageId<int, TextArg> kFatSectorsUnreadable{70030};  // 1-based copy, volume sectors
inline constexpr MessageId<TextArg, int, int> kFatReadThroughOther{70031};  // item, copy used, copy unread (1-based)
inline constexpr MessageId<TextArg> kFatUnknownEverywhere{70032};  // item
inline constexpr MessageId<TextArg> kFatChoiceForAll{70033};      // "FAT2" or the no-FAT text
inline constexpr MessageId<TextArg, TextArg> kPartialKeptBeside{70034};  // target, name of the part kept
inline constexpr MessageId<TextArg> kExistingKept{70035};         // target
inline constexpr MessageId<> kReadAsGuess{70036};
inline constexpr MessageId<> kPiecesConfirmed{70037};
inline constexpr MessageId<unsigned long, unsigned long> kEntriesSkipped{70040};  // count, directory's cluster
inline constexpr MessageId<> kOrphanEntries{70041};  // the found item gathering them
inline constexpr MessageId<int, int, int> kSaveSummary{70042};    // saved, skipped, failed
inline constexpr MessageId<unsigned long> kGoesOnElsewhere{70043};  // the directory's first cluster
inline constexpr MessageId<> kOneFileSelected{70050};  // the selection pane's singular
inline constexpr MessageId<TextArg> kNoPermissionFile{70060};    // file
inline constexpr MessageId<TextArg> kNoPermissionAsRoot{70061};  // device or file
inline constexpr MessageId<TextArg> kFilterBadGlob{70150};       // the pattern
inline constexpr MessageId<TextArg> kFilterBadSize{70151};       // the size as typed
inline constexpr MessageId<TextArg> kFilterBadDate{70152};       // the date as typed
inline constexpr MessageId<> kFilterSizesExclude{70153};
inline constexpr MessageId<> kFilterDatesExclude{70154};
} // namespace msg

// Ids of harrowd's table.
namespace servermsg {
inline constexpr ServerMessageId<> kDocumentString{128};
inline constexpr ServerMessageId<> kConnectionsInitial{130};  // status pane before the first update
inline constexpr ServerMessageId<int> kConnections{132};      // live connections
inline constexpr ServerMessageId<> kSocketReadError{61205};
inline constexpr ServerMessageId<> kSocketSendError{61206};
inline constexpr ServerMessageId<TextArg, int> kLogin{61225};         // peer address, port
inline constexpr ServerMessageId<TextArg, int> kIllegalLogin{61226};  // peer address, port
inline constexpr ServerMessageId<TextArg> kLogout{61227};             // peer address
inline constexpr ServerMessageId<TextArg, TextArg> kOpenDrive{61228};  // peer address, path
inline constexpr ServerMessageId<TextArg, TextArg> kTipOnline{61229};  // address text, computer name
inline constexpr ServerMessageId<TextArg, TextArg> kTipOffline{61230};
inline constexpr ServerMessageId<> kProgramTitle{57344};
// harrowd's own: the labels of its window.
inline constexpr ServerMessageId<> kFileMenu{70200};
inline constexpr ServerMessageId<> kNew{70201};
inline constexpr ServerMessageId<> kSave{70202};
inline constexpr ServerMessageId<> kExit{70203};
inline constexpr ServerMessageId<> kEditMenu{70204};
inline constexpr ServerMessageId<> kCopy{70205};
inline constexpr ServerMessageId<> kViewMenu{70206};
inline constexpr ServerMessageId<> kToolbar{70207};
inline constexpr ServerMessageId<> kStatusBar{70208};
inline constexpr ServerMessageId<> kConnectionInfo{70209};  // the command and its dialog
inline constexpr ServerMessageId<> kHelpMenu{70210};
inline constexpr ServerMessageId<> kAbout{70211};
inline constexpr ServerMessageId<> kTrayOpen{70212};
inline constexpr ServerMessageId<> kTrayMinimize{70213};
inline constexpr ServerMessageId<> kTrayExit{70214};
inline constexpr ServerMessageId<> kPasswordCaption{70215};
inline constexpr ServerMessageId<> kPasswordLabel{70216};
inline constexpr ServerMessageId<int, int> kPasswordLength{70217};  // shortest, longest
inline constexpr ServerMessageId<TextArg> kAskSaveChanges{70218};  // document name
inline constexpr ServerMessageId<int, TextArg> kCannotListen{70219};  // port, why
inline constexpr ServerMessageId<> kNoTray{70220};
inline constexpr ServerMessageId<> kServerAddress{70221};
inline constexpr ServerMessageId<TextArg> kAboutText{70222};  // version
inline constexpr ServerMessageId<TextArg> kCannotWriteLog{70223};  // path
inline constexpr ServerMessageId<> kReady{70224};
inline constexpr ServerMessageId<> kOk{70225};
inline constexpr ServerMessageId<> kCancel{70226};
inline constexpr ServerMessageId<> kYes{70227};
inline constexpr ServerMessageId<> kNo{70228};
} // namespace servermsg

// Hard-coded English texts. They are the same in every language, so
// scripts and bug reports can match them; keep them byte for byte.
namespace diag {
// Shown in message boxes.
inline constexpr FixedText<TextArg> kCantChangeDir{"Can't Change Directory to %s"};
inline constexpr FixedText<unsigned long> kCantChangeToParentDir{"Can't Change to Parent Directory(cluster %lu)"};
inline constexpr const char kCantAllocDirList[] = "Fatal error : Can't allocate momory for dir list";
inline constexpr const char kCantAllocVirtualMemory[] = "Fatal error : Can't allocate virtual memory";
inline constexpr const char kCantRunOnMachine[] = "This Program Can't be run on this machine";
inline constexpr const char kInodeNotFound[] = "Inode not found";
inline constexpr const char kProblemLoadingMft[] = "Problem loading MFT";
inline constexpr FixedText<unsigned> kCantLoadMftWithoutMft0{"Cannot load mft %x without mft 0"};
inline constexpr const char kCompressedChunkError[] = "Compressed Chunk Error";
inline constexpr const char kScanDiskNotOpen[] = "\"Scan Disk\" Error - Retry \"Open Drive\"";
inline constexpr const char kSaveClustersNotOpen[] = "\"Save Clusters\" Error - Retry \"Open Drive\"";
inline constexpr const char kCantAllocMemory[] = "Can't allocate memory";
inline constexpr const char kMemoryAllocationError[] = "Memory allocation error";
inline constexpr const char kNoNetworkProtocol[] = "No network protocol assigned";

// NTFS diagnostics: formatted into a 256-byte buffer for debugging, never
// shown to the user. Some carry their own trailing newline.
inline constexpr const char kRunlistInExtendedRecord[] = "Problem with runlist in extended record";
inline constexpr FixedText<unsigned> kCantDecodeRunType{"Can't decode run type field %x\n"};
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
inline constexpr FixedText<unsigned> kNotIndexRecord{"%x is not an index record\n"};
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
