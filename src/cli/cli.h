// harrow-cli: the engine for scripts. Exit status 0 all done, 1 some items failed, 2 the source
// could not be opened or the command line is wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/prompts.h"
#include "document/document.h"
#include "document/item_path.h"

namespace harrow::cli {

enum Exit : int { kOk = 0, kSomeFailed = 1, kBadSource = 2 };

// Messages go to stderr; questions are answered no where there is nobody to ask.
class CliPrompts : public Prompts {
public:
    // Whether to go on past a cluster the scan cannot read: ask (on a terminal; without one the
    // scan stops), continue, or stop.
    std::string onReadError = "ask";

    void showMessage(int id, const std::string& text, MsgIcon icon) override;
    bool askYesNo(int id, const std::string& text) override;
    ReplaceAnswer askOverwrite(const OverwriteQuestion& q) override;
    FatChoice chooseFat(int invalidFat, int fatCount) override;
};

void printError(const std::string& text);

struct Options {
    bool json = false;
    bool recursive = false;
    std::string deleted = "show";
    std::string dirFat = "1";
    std::string fat = "1";
    std::uint64_t offset = 0;
    bool scanFirst = false;            // ls, cat, save: scan the volume first
    // scan
    std::vector<std::string> skips;    // FIRST-LAST
    bool noSkipBad = false;
    std::string list;                  // search-root|lost|all-dirs|all-files
    std::string onReadError = "ask";   // ask|continue|stop
    // find
    std::vector<std::string> names;    // globs
    std::string type;                  // f|d
    bool deletedOnly = false;
    bool liveOnly = false;
    std::vector<std::string> sizes;    // +N, -N, N with a unit
    std::string newer, older;          // YYYY-MM-DD[THH:MM]
    bool intact = false;
    // save
    std::string to;
    std::string fromList;              // FILE of ITEMs, one a line; "-" for stdin
    bool forceFat = false;
    std::string overwrite = "ask";     // ask|all|none (save, image)
    // image
    std::string clusters;              // FIRST-LAST
    std::string out;
};

// Opens SOURCE in the document and runs the open flow: the root list, and the disk scan only
// when `scanHost` is given. `offset` is where the volume starts inside a file or device (a
// partition of a whole-disk image).
bool openSource(CQUIDNEYDoc& doc, const std::string& source, std::uint64_t offset = 0, DocHost* scanHost = nullptr);

// SOURCE as PATH@N or X:@N (partition N of a whole disk): `named` when it is one, with the letter
// the partition is registered under, or none when it cannot be (said on stderr).
struct NamedPartition {
    bool named = false;
    std::optional<char> letter;
};
NamedPartition partitionOfSource(const std::string& source, std::uint64_t offset);
// When `source` is a whole disk with a partition table, says which of its partitions to name
// instead, and is true: a disk is not one volume.
bool refusePartitionedDisk(const std::string& source);

// --overwrite ask|all|none as the first answer to the overwrite question.
ReplaceAnswer overwriteAnswer(const Options& opt);

// A FAT copy as the command line numbers it ("1".."n" or "none"), checked against the volume.
std::optional<FatIndex> parseFatCopy(const std::string& text, int copies);

// Text from a volume or a command line as a terminal line shows it, so that no name can add a
// line or a control sequence of its own: control characters (C0, DEL, C1) and the bidirectional
// formatting characters become "\n", "\t" or "\ooo" octal bytes, and '\' becomes "\\" unless
// `backslashes` is off (a path from pathName has its backslashes written already).
std::string shownText(std::string_view text, bool backslashes = true);

int cmdDrives(const Options& opt);
int cmdInfo(CQUIDNEYDoc& doc, const std::string& source, const Options& opt);
int cmdLs(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt);
int cmdCat(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt);
int cmdScan(CQUIDNEYDoc& doc, const std::string& source, const Options& opt);
int cmdFind(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt);
int cmdSave(CQUIDNEYDoc& doc, const std::string& source, const std::vector<std::string>& items, const Options& opt);
int cmdImage(CQUIDNEYDoc& doc, const std::string& source, const Options& opt);

}  // namespace harrow::cli
