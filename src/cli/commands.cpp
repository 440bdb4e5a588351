#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <functional>
#include <unordered_set>
#include <utility>
#include <fmt/core.h>
#include <charconv>

#include "cli/cli.h"
#include "cli/remote.h"
#include "remote/remote_address.h"
#include "common/dostime.h"
#include "common/strings.h"
#include "common/text.h"
#include "document/file_reader.h"
#include "document/find_items.h"
#include "document/tree_walk.h"
#include "fatfs/fat_verdict.h"
#include "saving/save_run.h"
#include "scan/disk_scan.h"
#include "scan/skip_ranges.h"
#include "volume/image_source.h"

namespace harrow::cli {
namespace {

using nlohmann::json;

constexpr char kImageSignature[] = "Disk File ver 3.0";
// Listing lines are written in pieces of about this size.
constexpr std::size_t kPrintBytes = 1 << 16;

void printJson(const json& j) {
    std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

// "YYYY-MM-DD HH:MM:SS" for scripts: the list's format with one blank.
std::string isoDate(const FileItem& item) {
    std::string d = formatDosDate(item.date, item.time);
    if (d.size() > 11 && d[10] == ' ' && d[11] == ' ') d.erase(10, 1);
    return d;
}

// Listings print their items one by one, as they come: a listing of 65,000 items held as one
// JSON document took ten times the memory and the time of its text. The text is the one printJson
// printed of the whole document: its layout, and nlohmann's sorted keys.
class JsonItemStream {
public:
    // `keys` are the document's other keys; those that sort before "items" are printed first.
    explicit JsonItemStream(json keys) : after_(json::object()) {
        json before = json::object();
        for (auto& [key, value] : keys.items()) (key < "items" ? before : after_)[key] = std::move(value);
        std::string head = "{\n";
        if (!before.empty()) {
            head = dumped(before);  // "{\n  KEY: VALUE\n}"
            head.replace(head.size() - 2, 2, ",\n");
        }
        std::fputs((head + "  \"items\": [").c_str(), stdout);
    }

    void add(const FileItem& item, const std::string* path, const FatTable* fat = nullptr) {
        line_.assign(count_++ ? ",\n    {" : "\n    {");
        member("attributes", item.attributes);
        member("cluster", item.cluster);
        const std::string date = isoDate(item);
        if (date.empty())
            member("date", std::string_view("null"));
        else
            text("date", date);
        member("deleted", item.deleted);
        member("dir", item.isDirectory());
        member("kind", item.kind);
        text("name", item.name);
        member("parent_cluster", item.parentCluster);
        member("parent_record", item.parentRecord);
        if (path) text("path", *path);
        member("record", item.record);
        if (!item.shortName.empty()) text("short_name", item.shortName);
        member("size", item.size);
        if (item.isStream()) text("stream", item.stream);
        if (fat && !item.isDirectory()) member("verdict", static_cast<int>(fatVerdict(*fat, item)));
        line_ += "\n    }";
        std::fwrite(line_.data(), 1, line_.size(), stdout);
    }

    void finish() {
        std::fputs(count_ ? "\n  ]" : "]", stdout);
        std::fputs(after_.empty() ? "\n}\n" : ("," + dumped(after_).substr(1) + "\n").c_str(), stdout);
    }

private:
    static std::string dumped(const json& j) { return j.dump(2, ' ', false, json::error_handler_t::replace); }

    // A number, true or false, or text that is JSON already.
    template <typename T>
    void member(std::string_view key, T value) {
        line_ += line_.back() == '{' ? "\n      \"" : ",\n      \"";
        line_ += key;
        line_ += "\": ";
        if constexpr (std::is_same_v<T, bool>) {
            line_ += value ? "true" : "false";
        } else if constexpr (std::is_integral_v<T>) {
            char digits[24];
            line_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        } else {
            line_ += value;
        }
    }

    // Names are valid UTF-8 and mostly need no escapes: only the others go through nlohmann.
    void text(std::string_view key, const std::string& value) {
        const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
        });
        if (plain && isValidUtf8(value))
            member(key, std::string_view("\"" + value + "\""));
        else
            member(key, std::string_view(dumped(json(value))));
    }

    json after_;
    std::size_t count_ = 0;
    std::string line_;
};

// `text` right-aligned in `width` columns.
void appendRight(std::string& out, std::string_view text, std::size_t width) {
    if (text.size() < width) out.append(width - text.size(), ' ');
    out += text;
}

void appendNumberRight(std::string& out, std::uint64_t n, std::size_t width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    appendRight(out, std::string_view(digits, static_cast<std::size_t>(end - digits)), width);
}

// The line a listing shows of `item`, appended to `out`: "YYYY-MM-DD HH:MM:SS", the size or
// <DIR>, the cluster and `shown`, the name as a terminal line may show it (shownText). Written
// by hand: a scan's list runs to millions of lines, and a format parsed for each costs more than
// reading the records did.
void appendItemLine(std::string& out, const FileItem& item, std::string_view shown) {
    if (const auto c = civilFromDos(item.date, item.time)) {
        auto two = [&](int v, char after) {
            out += static_cast<char>('0' + v / 10 % 10);
            out += static_cast<char>('0' + v % 10);
            if (after) out += after;
        };
        two(c->year / 100, 0);
        two(c->year % 100, '-');
        two(c->month, '-');
        two(c->day, ' ');
        two(c->hour, ':');
        two(c->minute, ':');
        two(c->second, 0);
    } else {
        out.append(19, ' ');
    }
    out += "  ";
    if (item.isDirectory())
        appendRight(out, "<DIR>", 12);
    else
        appendNumberRight(out, item.size, 12);
    out += "  ";
    appendNumberRight(out, item.cluster, 10);
    out += "  ";
    out += shown;
    out += '\n';
}

void printItemLine(const FileItem& item, const std::string& shown) {
    std::string line;
    appendItemLine(line, item, shown);
    std::fwrite(line.data(), 1, line.size(), stdout);
}

bool startsWithImageSignature(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[sizeof kImageSignature - 1] = {};
    in.read(head, sizeof head);
    return in.gcount() == static_cast<std::streamsize>(sizeof head) &&
           std::string_view(head, sizeof head) == kImageSignature;
}

// Listing and reading need no disk scan, and so no naming of what a scan would find.
struct ListOnlyHost : DocHost {
    void runNamingPass(CQUIDNEYDoc&) override {}
};

}  // namespace

void printError(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "harrow-cli: %s\n", text.c_str());
}

void CliPrompts::showMessage(int, const std::string& text, MsgIcon) { printError(text); }

bool CliPrompts::askYesNo(int id, const std::string& text) {
    if (id == msg::kCannotReadCluster && onReadError != "ask") {
        // Answered by the command line: the message without its question when the scan stops
        // here; going on, the scan says the whole run of such clusters once it is past it.
        if (onReadError == "stop") printError(text.substr(0, text.find('\n')));
        return onReadError == "continue";
    }
    printError(text);
    if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return false;
    std::fprintf(stderr, "[y/N] ");
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

namespace {

bool interactive() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

std::string readAnswer() {
    std::string answer;
    if (!std::getline(std::cin, answer)) return {};
    return answer;
}

}  // namespace

ReplaceAnswer CliPrompts::askOverwrite(const OverwriteQuestion& q) {
    if (!interactive()) {
        printError(q.name + " exists in the target folder; nobody to ask (use --overwrite all|none)");
        return ReplaceAnswer::Unanswered;
    }
    std::fprintf(stderr, "%s exists.\n  old: %s  %llu bytes\n  new: %s  %llu bytes\n", q.name.c_str(),
                 q.existingDate.c_str(), static_cast<unsigned long long>(q.existingSize), q.itemDate.c_str(),
                 static_cast<unsigned long long>(q.itemSize));
    for (;;) {
        std::fprintf(stderr, "Overwrite? [y]es, yes to [a]ll, [n]o, no to all [N], [c]ancel: ");
        std::string a = readAnswer();
        if (a == "y") return ReplaceAnswer::Yes;
        if (a == "a") return ReplaceAnswer::YesToAll;
        if (a == "n") return ReplaceAnswer::No;
        if (a == "N") return ReplaceAnswer::NoToAll;
        if (a == "c" || !std::cin) return ReplaceAnswer::Cancel;
    }
}

FatChoice CliPrompts::chooseFat(int invalidFat, int fatCount) {
    if (!interactive()) {
        printError(formatMessage(msg::kFatInvalid, invalidFat + 1) + "\n nobody to ask: the file is not read (use --fat 1..n|none or --force-fat)");
        FatChoice none;
        none.unanswered = true;
        return none;
    }
    printError(formatMessage(msg::kFatInvalid, invalidFat + 1));
    for (;;) {
        std::fprintf(stderr, "Read it through FAT 1..%d, none, or skip it [s]; add \" all\" to answer for every later file: ",
                     fatCount);
        std::string a = readAnswer();
        if (!std::cin) return {};
        FatChoice choice;
        if (a.size() > 4 && a.ends_with(" all")) {
            choice.forAll = true;
            a.resize(a.size() - 4);
        }
        if (a == "s") return choice;
        if (a == "none") {
            choice.copy = kNoFat;
            return choice;
        }
        if (auto copy = parseFatCopy(a, fatCount)) {
            choice.copy = *copy;
            return choice;
        }
    }
}

bool openSource(CQUIDNEYDoc& doc, const std::string& source, std::uint64_t offset, DocHost* scanHost) {
    ListOnlyHost listOnly;
    DocHost& host = scanHost ? *scanHost : listOnly;
    doc.options.searchDisk = scanHost != nullptr;
    if (remote::isRemoteSource(source)) return openRemoteSource(doc, source, host);
    if (auto letter = letterOfRootPath(source); letter && source.size() <= 3) {
        return doc.openDrive(*letter, host);
    }
    if (auto part = partitionOfSource(source, offset); part.named) return part.letter && doc.openDrive(*part.letter, host);
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        printError("no such file or device: " + source);
        return false;
    }
    // Checked before anything opens it: reading a FIFO would wait for a writer forever.
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        printError(formatMessage(msg::kNotADisk, source));
        return false;
    }
    if (S_ISREG(st.st_mode) && offset > 0 && offset >= static_cast<std::uint64_t>(st.st_size)) {
        printError(fmt::format("--offset {} is at or past the end of {} ({} bytes)", offset, source, st.st_size));
        return false;
    }
    // Asked before the open, which would only call a disk's first sector a damaged volume.
    if (offset == 0 && !startsWithImageSignature(source) && refusePartitionedDisk(source)) return false;
    // A file that starts with the image signature opens as an image file (the drive tells it by
    // its first bytes, in the one open it makes).
    auto letter = DriveTable::global().registerPath(source, offset);
    if (!letter) {
        printError("no free drive letter for " + source);
        return false;
    }
    const bool opened = doc.openDrive(*letter, host);
    if (opened || offset != 0) return opened;
    // The drive's open says only that it failed: what is wrong with an image lets the user judge
    // the file.
    if (startsWithImageSignature(source)) {
        if (std::string why; !ImageSource::open(source, &why) && !why.empty())
            printError(fmt::format("{} cannot be read as an image file: {}", source, why));
    }
    return false;
}

ReplaceAnswer overwriteAnswer(const Options& opt) {
    return opt.overwrite == "all" ? ReplaceAnswer::YesToAll : opt.overwrite == "none" ? ReplaceAnswer::NoToAll : ReplaceAnswer::Yes;
}

std::optional<FatIndex> parseFatCopy(const std::string& text, int copies) {
    if (text == "none") return kNoFat;
    try {
        std::size_t used = 0;
        int n = std::stoi(text, &used);
        if (used == text.size() && n >= 1 && n <= copies) return n - 1;
    } catch (const std::exception&) {
    }
    printError(fmt::format("no FAT copy \"{}\": the volume has {} (use 1..{} or none)", text, copies, copies));
    return std::nullopt;
}

int cmdDrives(const Options& opt) {
    DriveTable::global().probeFileSystems();
    const auto& entries = DriveTable::global().entries();
    if (opt.json) {
        json out = json::array();
        for (const auto& e : entries)
            out.push_back({{"letter", std::string(1, e.letter) + ":"},
                           {"type", static_cast<int>(e.type)},
                           {"label", e.label},
                           {"path", e.path},
                           {"readable", e.readable},
                           {"partition", e.partition ? json(e.partition) : json(nullptr)},
                           {"file_system", e.fileSystem.empty() ? json(nullptr) : json(e.fileSystem)},
                           {"size", e.length ? json(*e.length) : json(nullptr)}});
        printJson({{"drives", out}});
        return kOk;
    }
    for (const auto& e : entries)
        fmt::print("{}:  {}  {:<16}  {}{}{}{}{}\n", e.letter, static_cast<int>(e.type), shownText(e.label), shownText(e.path),
                   e.partition ? "@" + std::to_string(e.partition) : "",
                   e.partition ? fmt::format("  {}  {} bytes", e.fileSystem, e.length.value_or(0)) : "",
                   e.partition || e.fileSystem.empty() ? "" : "  " + e.fileSystem, e.readable ? "" : "  (no permission)");
    return kOk;
}

int cmdInfo(CQUIDNEYDoc& doc, const std::string& source, const Options& opt) {
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    const DriveInfo& d = doc.drive().info();
    std::uint64_t bytesPerCluster = std::uint64_t{d.bytesPerSector} * d.clusterSectors();
    // exFAT says more of itself: its serial number, and whether it was left dirty.
    const bool exfat = d.isExfat();
    const std::string serial = fmt::format("{:04X}-{:04X}", doc.drive().exfatSerial() >> 16, doc.drive().exfatSerial() & 0xFFFF);
    std::string flags;
    const std::uint16_t f = doc.drive().exfatFlags();
    for (const auto& [bit, word] : {std::pair{1, "second FAT active"}, {2, "dirty"}, {4, "media failure"}})
        if (f & bit) flags += (flags.empty() ? "" : ", ") + std::string(word);
    if (opt.json) {
        json out = {{"label", d.label},
                    {"file_system", d.fsName},
                    {"bytes_per_sector", d.bytesPerSector},
                    {"sectors_per_cluster", d.clusterSectors()},
                    {"bytes_per_cluster", bytesPerCluster},
                    {"heads", d.heads},
                    {"sectors_per_track", d.sectorsPerTrack},
                    {"clusters", d.clusterCount},
                    {"fats", d.numberOfFats},
                    {"boot_sector", doc.drive().bootSectorUsed()}};
        if (exfat) {
            out["serial"] = serial;
            out["volume_flags"] = f;
        }
        printJson(out);
        return kOk;
    }
    fmt::print("label:               {}\n", shownText(d.label));
    fmt::print("file system:         {}\n", d.fsName);
    fmt::print("bytes per sector:    {}\n", d.bytesPerSector);
    fmt::print("sectors per cluster: {}\n", d.clusterSectors());
    fmt::print("bytes per cluster:   {}\n", bytesPerCluster);
    fmt::print("heads:               {}\n", d.heads);
    fmt::print("sectors per track:   {}\n", d.sectorsPerTrack);
    fmt::print("clusters:            {}\n", d.clusterCount);
    if (exfat) fmt::print("serial:              {}\nvolume flags:        {}\n", serial, flags.empty() ? "none" : flags);
    if (doc.drive().bootSectorUsed() != 0) fmt::print("boot sector:         {} (backup)\n", doc.drive().bootSectorUsed());
    return kOk;
}

namespace {

// --scan: the scan before the command, so that lost directories go on in the clusters it finds
// and the orphan entries it gathers have an address.
void scanFirst(CQUIDNEYDoc& doc);

// ls -r: every item below the start, each directory's items right after it.
class LsWalk : public TreeVisitor {
public:
    LsWalk(std::function<void(const FileItem&, const std::string&)> emit) : emit_(std::move(emit)) {}
    std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots) override {
        return harrow::pathNames(items, ownDots);
    }
    bool visit(const FileItem& item, const std::string& path, int) override {
        emit_(item, path);
        return true;
    }
    void listFailed(const FileItem& dir, const std::string& path) override {
        // Deleted directories are often overwritten; only a live one that cannot be read is a
        // failure.
        if (dir.deleted) return;
        printError(formatText(diag::kCantChangeDir, shownText(path, false)));
        failed = true;
    }
    bool failed = false;

private:
    std::function<void(const FileItem&, const std::string&)> emit_;
};

// ITEM of ls and find (the root when none is given), and its listing when it is a directory.
struct ListedStart {
    std::optional<ResolvedItem> at;
    std::optional<ItemList> list;
    int incompleteBefore = 0;  // the document's count before the listing
};

// Nothing, with the exit status in `status`, when ITEM names nothing that can be listed.
std::optional<ListedStart> listStart(CQUIDNEYDoc& doc, const std::string& address, int& status) {
    if (auto bad = badAddress(doc, address)) {
        printError(*bad);
        status = kBadSource;
        return std::nullopt;
    }
    std::string error;
    ListedStart start{resolveItem(doc, address.empty() ? "/" : address, error), std::nullopt, doc.incompleteListings};
    status = kSomeFailed;
    if (!start.at) {
        printError(error);
        return std::nullopt;
    }
    if (start.at->isRoot || start.at->item.isDirectory()) {
        start.list = start.at->isRoot ? std::optional<ItemList>(doc.listForMode(ID_LIST_BASICROOT))
                                      : doc.listItem(start.at->item, start.at->parent);
        if (!start.list) {
            printError(formatText(diag::kCantChangeDir, start.at->path));
            return std::nullopt;
        }
    }
    status = kOk;
    return start;
}

}  // namespace

int cmdLs(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt) {
    doc.options.showDeleted = opt.deleted != "hide";
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    if (doc.isFat()) {
        auto dirFat = parseFatCopy(opt.dirFat, doc.drive().info().numberOfFats);
        if (!dirFat) return kBadSource;
        doc.options.dirFat = *dirFat;
    }
    if (opt.scanFirst) scanFirst(doc);

    int failure = kOk;
    auto listed = listStart(doc, address, failure);
    if (!listed) return failure;
    const int incompleteBefore = listed->incompleteBefore;
    std::optional<ResolvedItem>& start = listed->at;
    std::optional<ItemList>& list = listed->list;

    std::optional<JsonItemStream> items;
    if (opt.json) items.emplace(json{{"source", source}, {"path", start->path.empty() ? "/" : start->path}});
    auto emit = [&](const FileItem& item, const std::string& path) {
        if (items)
            items->add(item, opt.recursive ? &path : nullptr, doc.isFat() ? &doc.drive().fat() : nullptr);
        else
            printItemLine(item, opt.recursive ? shownText(path, false) : shownText(item.name));
    };

    int status = kOk;
    if (!list) {
        emit(start->item, start->path);
        // A file shows with its named streams, as its directory lists it.
        for (const FileItem& stream : doc.streamsOf(start->item)) emit(stream, start->path + ":" + pathName(stream.stream));
    } else if (opt.recursive) {
        LsWalk visitor(emit);
        TreeWalk walk(doc, visitor);
        if (!walk.walk(std::move(*list), start->item, start->path) || visitor.failed) status = kSomeFailed;
    } else {
        for (const FileItem& item : *list) emit(item, start->path + "/" + item.name);
    }
    // A listing that left out what a damaged index hid said so, and is not all done.
    if (doc.drive().sourceLost() || (start->isRoot && doc.rootUnreadable) || doc.incompleteListings > incompleteBefore)
        status = kSomeFailed;
    if (items) items->finish();
    return status;
}

namespace {

// The filter the command line asks for; nothing, said on stderr, when part of it cannot be read.
std::optional<ItemFilter> filterOf(const Options& opt) {
    ItemFilter filter;
    std::string error;
    auto refused = [&] {
        printError(shownText(error, false));  // it quotes what was typed, control characters too
        return std::nullopt;
    };
    for (const std::string& name : opt.names) {
        auto glob = NameGlob::parse(name, error);
        if (!glob) return refused();
        filter.names.push_back(std::move(*glob));
    }
    if (!opt.type.empty()) filter.directories = opt.type == "d";
    if (opt.deletedOnly) filter.states = STATE_DELETED;
    if (opt.liveOnly) filter.states = STATE_LIVE;
    for (const std::string& text : opt.sizes) {
        auto bound = parseSizeBound(text, error);
        if (!bound) return refused();
        filter.narrowSize(*bound);
    }
    for (auto [text, into] : {std::pair{&opt.newer, &filter.newer}, std::pair{&opt.older, &filter.older}}) {
        if (text->empty()) continue;
        *into = parseFilterDate(*text, error);
        if (!*into) return refused();
    }
    filter.intactOnly = opt.intact;
    if (!filter.check(error)) return refused();
    return filter;
}

// find's results as they come: a path a line, or items of a JSON document; on a terminal, how
// far the search has come.
class CliFind : public FindObserver {
public:
    CliFind(std::function<void(const FileItem&, const std::string&)> emit) : emit_(std::move(emit)) {}
    ~CliFind() override {
        if (drawn_) std::fprintf(stderr, "\r%*s\r", 60, "");
    }
    bool found(const FileItem& item, const std::string& path, unsigned) override {
        emit_(item, path);
        ++matched_;
        return true;
    }
    void progress(std::size_t examined) override {
        if (!tty_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDraw_ < std::chrono::milliseconds(200)) return;
        lastDraw_ = now;
        std::fflush(stdout);
        std::fprintf(stderr, "\rsearched %zu items, found %zu ", examined, matched_);
        drawn_ = true;
    }
    void listFailed(const FileItem&, const std::string& path, unsigned states) override {
        // As ls -r: a deleted or lost directory is often overwritten; a live one that cannot be
        // read is a failure.
        if (!(states & STATE_LIVE)) return;
        printError(formatText(diag::kCantChangeDir, shownText(path, false)));
        failed = true;
    }
    bool failed = false;

private:
    std::function<void(const FileItem&, const std::string&)> emit_;
    std::size_t matched_ = 0;
    bool tty_ = isatty(STDERR_FILENO);
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace

int cmdFind(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt) {
    // A filter that cannot be read is a command line that can never work: said before the
    // volume is read.
    const std::optional<ItemFilter> filter = filterOf(opt);
    if (!filter) return kBadSource;
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    if (opt.scanFirst) scanFirst(doc);

    int status = kOk;
    std::optional<ListedStart> listed;
    if (!address.empty()) {
        listed = listStart(doc, address, status);
        if (!listed) return status;
    }
    const int incompleteBefore = listed ? listed->incompleteBefore : doc.incompleteListings;

    std::optional<JsonItemStream> items;
    if (opt.json) items.emplace(json{{"source", source}, {"path", address.empty() ? "/" : listed->at->path}});
    const FatTable* fat = doc.isFat() ? &doc.drive().fat() : nullptr;
    std::string lines;
    auto flush = [&] {
        std::fwrite(lines.data(), 1, lines.size(), stdout);
        lines.clear();
    };
    CliFind observer([&](const FileItem& item, const std::string& path) {
        if (items) return items->add(item, &path, fat);
        lines += shownText(path, false);
        lines += '\n';
        if (lines.size() >= kPrintBytes) flush();
    });

    FindSummary summary;
    if (!listed) {
        summary = findItems(doc, *filter, observer);
        if (doc.rootUnreadable) status = kSomeFailed;
    } else {
        const ResolvedItem& at = *listed->at;
        // Below a found FAT directory that no directory names (@N/...), everything is lost.
        std::uint64_t top = 0;
        std::from_chars(address.data() + 1, address.data() + address.size(), top);
        const FileItem* found = doc.isFat() && address[0] == '@' ? doc.findFoundItem(top) : nullptr;
        const bool lost = found && found->kind != ITEM_TOPDIR && found->kind != ITEM_DIR;
        const unsigned states = (at.item.deleted ? unsigned{STATE_DELETED} : 0u) | (lost ? unsigned{STATE_LOST} : 0u);
        if (listed->list) {
            summary = findBelow(doc, *filter, std::move(*listed->list), at.item, at.path, states, observer);
        } else {
            // A file: itself, and its named streams as its directory lists them.
            ItemList self{at.item};
            for (FileItem& stream : doc.streamsOf(at.item)) self.push_back(std::move(stream));
            for (const FileItem& item : self) {
                const std::string path = item.isStream() && !at.item.isStream() ? at.path + ":" + pathName(item.stream) : at.path;
                unsigned itemStates = states | (item.deleted ? unsigned{STATE_DELETED} : 0u);
                if (!itemStates) itemStates = STATE_LIVE;
                if (filter->matches(item, itemStates, fat)) observer.found(item, path, itemStates);
            }
        }
    }
    flush();
    if (summary.stopped || observer.failed || doc.drive().sourceLost() || doc.incompleteListings > incompleteBefore)
        status = kSomeFailed;
    if (items) items->finish();
    return status;
}

int cmdCat(CQUIDNEYDoc& doc, const std::string& source, const std::string& address, const Options& opt) {
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    std::optional<FatIndex> fat = 0;
    if (doc.isFat()) fat = parseFatCopy(opt.fat, doc.drive().info().numberOfFats);
    if (!fat) return kBadSource;
    if (opt.scanFirst) scanFirst(doc);

    if (auto bad = badAddress(doc, address)) {
        printError(*bad);
        return kBadSource;
    }
    std::string error;
    auto found = resolveItem(doc, address, error);
    if (!found) {
        printError(error);
        return kSomeFailed;
    }
    const FileItem& item = found->item;
    if (found->isRoot || item.isDirectory()) {
        printError(address + " is a directory");
        return kSomeFailed;
    }

    // The decision saving takes: a copy whose chain does not fit the file is not read from
    // unless --force-fat says so; the user may name another (on a terminal).
    doc.options.fatPrompt = opt.forceFat ? FatPromptMode::Force : FatPromptMode::Ask;
    const std::optional<FatIndex> copy = FileFats(doc, *fat).choose(item);
    if (!copy) return kSomeFailed;
    FileReader reader(doc.drive(), item, *copy);
    // The bytes go to stdout; how the pieces of a file deleted in pieces were found, to stderr.
    if (const auto pieces = piecesMessage(reader.piecesRead())) printError(messageText(*pieces));
    if (!reader.ok()) {
        printError(formatMessage(msg::kCannotOpenItem, item.name));
        return kSomeFailed;
    }
    std::uint64_t written = 0;
    const CopyResult result = copyItemData(reader, item.size, [&](Bytes block) {
        written += block.size();
        return std::fwrite(block.data(), 1, block.size(), stdout) == block.size();
    });
    if (result == CopyResult::ReadFailed && reader.chainClosed())
        printError(fmt::format("the FAT chain of {} comes back on itself after {} bytes of {}: the rest is not read",
                               item.name, written, item.size));
    else if (result == CopyResult::ReadFailed)
        printError(formatMessage(msg::kCannotReadItem, item.name));
    if (result == CopyResult::WriteFailed) printError("cannot write to standard output");
    if (std::fflush(stdout) != 0 || result != CopyResult::Done) return kSomeFailed;
    return kOk;
}

}  // namespace harrow::cli

namespace harrow::cli {
namespace {

// Progress on stderr when it is a terminal: a bar with the position, hits and time left.
class CliScanObserver : public ScanObserver {
public:
    void started(const std::string&, bool ntfs, std::uint64_t total) override {
        ntfs_ = ntfs;
        total_ = total;
    }
    void step(const ScanProgress& p) override {
        if (!tty_) return;
        auto now = std::chrono::steady_clock::now();
        if (now - lastDraw_ < std::chrono::milliseconds(200) && p.percent < 100) return;
        lastDraw_ = now;
        std::string bar(static_cast<std::size_t>(p.percent / 5), '#');
        bar.resize(20, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  cluster %llu/%llu  %s %llu  elapsed %s  left %s ", bar.c_str(), p.percent,
                     static_cast<unsigned long long>(p.current), static_cast<unsigned long long>(total_),
                     ntfs_ ? "files" : "dirs", static_cast<unsigned long long>(p.hits),
                     p.elapsedSeconds ? formatDuration(*p.elapsedSeconds).c_str() : "-",
                     p.remainingSeconds ? formatDuration(*p.remainingSeconds).c_str() : "-");
        drawn_ = true;
    }
    void notice(const std::string& line) override {
        if (drawn_) std::fprintf(stderr, "\n");
        drawn_ = false;
        printError(line);
    }
    ~CliScanObserver() override {
        if (drawn_) std::fprintf(stderr, "\n");
    }

private:
    bool tty_ = isatty(STDERR_FILENO);
    bool drawn_ = false;
    bool ntfs_ = false;
    std::uint64_t total_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

struct ScanHost : DocHost {
    void runScan(CQUIDNEYDoc& doc) override {
        CliScanObserver observer;
        summary = runDiskScan(doc, observer);
    }
    ScanSummary summary;
};

void scanFirst(CQUIDNEYDoc& doc) {
    ScanHost host;
    doc.scanOpenDrive(host);
}

std::optional<SkipRange> parseSkip(const std::string& text) {
    std::size_t dash = text.find('-');
    if (dash == std::string::npos) return std::nullopt;
    try {
        std::size_t a = 0, b = 0;
        unsigned long first = std::stoul(text.substr(0, dash), &a);
        unsigned long last = std::stoul(text.substr(dash + 1), &b);
        if (a != dash || b != text.size() - dash - 1 || first > 0xFFFFFFFFul || last > 0xFFFFFFFFul) return std::nullopt;
        return SkipRange{static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A FAT copy as the command line names it: "1".."n", or "none".
std::string fatCopyText(FatIndex copy) { return copy < 0 ? "none" : std::to_string(copy + 1); }

class CliSaveObserver : public SaveObserver {
public:
    CliSaveObserver(bool json, std::optional<FatIndex> runFat) : json_(json), runFat_(runFat) {}
    void readThrough(const FileItem&, FatIndex fat) override { fat_ = fat; }
    void readInPieces(const FileItem&, PiecesRead how) override { pieces_ = how; }
    // An item saved under another name than its own says so, with the name it has on the volume;
    // a file read through another FAT copy than the one asked for says which.
    void itemDone(const FileItem& item, const std::string& path, SaveStatus status) override {
        static const char* names[] = {"saved", "skipped", "failed", "cancelled"};
        const char* word = names[static_cast<int>(status)];
        const std::string savedAs = path.substr(path.rfind('/') + 1);
        const bool renamed = savedAs != item.name;
        const std::optional<FatIndex> fat = std::exchange(fat_, std::nullopt);
        const auto pieces = piecesMessage(std::exchange(pieces_, PiecesRead::NotInPieces));
        if (json_) {
            json entry = {{"name", item.name}, {"target", path}, {"status", word}};
            if (item.isDirectory()) entry["dir"] = true;
            if (renamed) entry["saved_as"] = savedAs;
            if (fat) entry["fat"] = *fat < 0 ? json("none") : json(*fat + 1);
            if (pieces) entry["pieces"] = {{"confirmed", *pieces == msg::kPiecesConfirmed}, {"message", pieces->id}};
            results.push_back(std::move(entry));
            return;
        }
        std::string notes;
        if (renamed) notes += "name on the volume: " + shownText(item.name);
        if (fat && fat != runFat_) notes += std::string(notes.empty() ? "" : "; ") + "read through FAT " + fatCopyText(*fat);
        if (pieces) notes += std::string(notes.empty() ? "" : "; ") + messageText(*pieces);
        if (notes.empty())
            std::printf("%-9s %s\n", word, shownText(path).c_str());
        else
            std::printf("%-9s %s  (%s)\n", word, shownText(path).c_str(), notes.c_str());
    }
    json results = json::array();

private:
    bool json_;
    std::optional<FatIndex> runFat_;
    std::optional<FatIndex> fat_;  // the copy the current file is read through
    PiecesRead pieces_ = PiecesRead::NotInPieces;
};

// --from-list: one ITEM a line, as find prints them ("-": standard input). A line is taken
// whole, blanks included (names may begin or end with one); the '\r' a CRLF file adds is no
// part of it, since find writes that byte as "\015". Empty lines name nothing.
bool readItemList(const std::string& file, std::vector<std::string>& out) {
    std::ifstream opened;
    if (file != "-") opened.open(file, std::ios::binary);
    std::istream& in = file == "-" ? std::cin : opened;
    if (!in) {
        printError("cannot read the list " + file);
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(std::move(line));
    }
    if (in.bad()) {
        printError("cannot read the list " + file);
        return false;
    }
    return true;
}

// An item named twice is saved once; with -r, an item below a directory that is saved too comes
// with it, and saved again on its own it would take a second name beside it. `paths` are the
// items' paths as resolveItem writes them: one item, one path.
void keepOnce(std::vector<FileItem>& items, std::vector<std::string>& paths, bool recursive) {
    std::unordered_set<std::string> dirs, seen;
    if (recursive)
        for (std::size_t i = 0; i < items.size(); ++i)
            if (items[i].isDirectory()) dirs.insert(paths[i]);
    // Whether a directory above `path` is saved: each '/' that is no part of a name ends one.
    auto below = [&](const std::string& path) {
        for (std::size_t at = 0; at < path.size(); ++at) {
            if (path[at] == '\\') ++at;
            else if (path[at] == '/' && dirs.count(path.substr(0, at))) return true;
        }
        return false;
    };
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!seen.insert(paths[i]).second || below(paths[i])) continue;
        if (kept != i) {
            items[kept] = std::move(items[i]);
            paths[kept] = std::move(paths[i]);
        }
        ++kept;
    }
    items.resize(kept);
    paths.resize(kept);
}

}  // namespace

int cmdScan(CQUIDNEYDoc& doc, const std::string& source, const Options& opt) {
    for (const std::string& text : opt.skips) {
        auto range = parseSkip(text);
        if (!range) {
            printError("--skip wants FIRST-LAST, not " + text);
            return kBadSource;
        }
        if (!validSkipRange(range->first, range->last)) {
            printError(messageText(msg::kInvalidRange) + std::string(" ") + text);
            return kBadSource;
        }
        insertSkipRange(doc.skipRanges, range->first, range->last);
    }
    doc.options.skipBadClusters = !opt.noSkipBad;
    // The open flow lists the root, scans, and names what the scan found.
    ScanHost host;
    if (!openSource(doc, source, opt.offset, &host)) return kBadSource;

    std::string list = opt.list.empty() ? (doc.isFat() ? "all-dirs" : "all-files") : opt.list;
    ListMode mode = list == "search-root" ? ID_LIST_SEARCHROOT
                    : list == "lost"      ? ID_LIST_LOSTDIRS
                    : list == "all-files" ? ID_LIST_ALLFILES
                                          : ID_LIST_ALLDIRS;
    // The whole of a list the document keeps is printed where it lies, not copied first.
    ItemList chosen;
    const ItemList& items = mode == ID_LIST_ALLFILES  ? doc.ntfsFileList
                            : mode == ID_LIST_ALLDIRS ? doc.foundList
                                                      : (chosen = doc.listForMode(mode));
    if (opt.json) {
        JsonItemStream out({{"source", source}, {"list", list}, {"completed", host.summary.result == ScanResult::Finished}});
        for (const FileItem& item : items) out.add(item, nullptr);
        out.finish();
    } else {
        std::string lines;
        lines.reserve(kPrintBytes + 4096);
        for (const FileItem& item : items) {
            appendItemLine(lines, item, shownText(item.name));
            if (lines.size() >= kPrintBytes) {
                std::fwrite(lines.data(), 1, lines.size(), stdout);
                lines.clear();
            }
        }
        std::fwrite(lines.data(), 1, lines.size(), stdout);
    }
    // A scan that went on past clusters it could not read, or stopped where the source ended
    // before the volume, did not search them; a root that could not be read was said when the
    // volume opened, and its lists lack what it holds.
    return host.summary.complete() && !doc.rootUnreadable && !doc.drive().sourceLost() ? kOk : kSomeFailed;
}

int cmdSave(CQUIDNEYDoc& doc, const std::string& source, const std::vector<std::string>& given, const Options& opt) {
    std::vector<std::string> addresses = given;
    if (!opt.fromList.empty() && !readItemList(opt.fromList, addresses)) return kBadSource;
    if (addresses.empty()) {
        printError("save wants an ITEM, or --from-list FILE that names one");
        return kBadSource;
    }
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    SaveOptions options;
    if (doc.isFat()) {
        auto fat = parseFatCopy(opt.fat, doc.drive().info().numberOfFats);
        if (!fat) return kBadSource;
        options.fat = *fat;
        auto dirFat = parseFatCopy(opt.dirFat, doc.drive().info().numberOfFats);
        if (!dirFat) return kBadSource;
        doc.options.dirFat = *dirFat;
    }
    if (opt.scanFirst) scanFirst(doc);
    doc.options.fatPrompt = opt.forceFat ? FatPromptMode::Force : FatPromptMode::Ask;
    if (std::error_code ec; !std::filesystem::create_directories(opt.to, ec) && ec) {
        printError(formatMessage(msg::kCannotCreate, opt.to));
        return kBadSource;
    }
    if (targetOnSource(doc, opt.to)) {
        printError(messageText(msg::kCannotSaveOnSource));
        return kBadSource;
    }

    // Resolve every item first, so that a misspelt path fails before anything is written.
    std::vector<FileItem> resolved;
    std::vector<std::string> paths;
    int status = kOk;
    for (const std::string& address : addresses) {
        if (auto bad = badAddress(doc, address)) {
            printError(*bad);
            return kBadSource;
        }
        std::string error;
        auto r = resolveItem(doc, address, error);
        if (!r) {
            printError(error);
            status = kSomeFailed;
            continue;
        }
        if (r->isRoot) {
            r->item.name = "root";
            r->item.attributes = ATTR_DIRECTORY;
            // Said when the volume opened; what it held cannot be saved.
            if (doc.rootUnreadable) status = kSomeFailed;
        }
        // A directory's own "." and ".." save nothing; a directory merely so named is saved.
        if (r->ownDot) continue;
        resolved.push_back(r->item);
        paths.push_back(r->path);
    }
    keepOnce(resolved, paths, opt.recursive);

    options.targetFolder = opt.to;
    options.recursive = opt.recursive;
    options.dotNamesAreOwnEntries = false;
    options.initialAnswer = overwriteAnswer(opt);
    CliSaveObserver observer(opt.json, doc.isFat() ? std::optional<FatIndex>(options.fat) : std::nullopt);
    const int incompleteBefore = doc.incompleteListings;
    SaveSummary summary = runSave(doc, resolved, options, observer);
    if (opt.json)
        printJson({{"source", source},
                   {"target", opt.to},
                   {"saved", summary.saved},
                   {"skipped", summary.skipped},
                   {"failed", summary.failed},
                   {"cancelled", summary.cancelled},
                   {"items", observer.results}});
    if (!summary.started) return kBadSource;
    if (summary.failed > 0 || summary.cancelled || summary.unanswered > 0 ||
        doc.incompleteListings > incompleteBefore)
        status = kSomeFailed;
    return status;
}

}  // namespace harrow::cli
