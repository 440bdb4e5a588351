#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <fmt/core.h>

#include "cli/cli.h"
#include "common/dostime.h"
#include "common/strings.h"
#include "fatfs/directory.h"

namespace harrow::cli {
namespace {

using nlohmann::json;

constexpr char kImageSignature[] = "Disk File ver 3.0";

void printJson(const json& j) {
    std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

// "YYYY-MM-DD HH:MM:SS" for scripts: the list's format with one blank.
std::string isoDate(const FileItem& item) {
    std::string d = formatDosDate(item.date, item.time);
    if (d.size() > 11 && d[10] == ' ' && d[11] == ' ') d.erase(10, 1);
    return d;
}

json itemJson(const FileItem& item, const std::string* path) {
    json j;
    j["name"] = item.name;
    if (path) j["path"] = *path;
    j["kind"] = item.kind;
    j["dir"] = item.isDirectory();
    j["deleted"] = item.deleted;
    j["attributes"] = item.attributes;
    std::string date = isoDate(item);
    j["date"] = date.empty() ? json(nullptr) : json(date);
    j["cluster"] = item.cluster;
    j["parent_cluster"] = item.parentCluster;
    j["record"] = item.record;
    j["parent_record"] = item.parentRecord;
    j["size"] = item.size;
    return j;
}

void printItemLine(const FileItem& item, const std::string& shown) {
    std::string date = isoDate(item);
    std::string size = item.isDirectory() ? "<DIR>" : std::to_string(item.size);
    fmt::print("{:<19}  {:>12}  {:>10}  {}\n", date, size, item.cluster, shown);
}

bool isDotName(const std::string& name) { return name == "." || name == ".."; }

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

// Keeps the drive open across many listings and closes it at the end.
struct OpenDrive {
    explicit OpenDrive(CQUIDNEYDoc& d) : doc(d), ok(d.openCurrent()) {}
    ~OpenDrive() { doc.drive().close(); }
    CQUIDNEYDoc& doc;
    bool ok;
};

}  // namespace

void printError(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "harrow-cli: %s\n", text.c_str());
}

void CliPrompts::showMessage(int, const std::string& text, MsgIcon) { printError(text); }

bool CliPrompts::askYesNo(int, const std::string& text) {
    printError(text);
    if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return false;
    std::fprintf(stderr, "[y/N] ");
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

ReplaceAnswer CliPrompts::askOverwrite(const OverwriteQuestion&) { return ReplaceAnswer::No; }

std::optional<int> CliPrompts::chooseFat(int, int) { return std::nullopt; }

bool openSource(CQUIDNEYDoc& doc, const std::string& source, std::uint64_t offset) {
    ListOnlyHost host;
    doc.searchDisk = 2;
    if (source.starts_with("harrowd://")) {
        printError("remote drives are not supported by this build: " + source);
        return false;
    }
    if (auto letter = letterOfRootPath(source); letter && source.size() <= 3) {
        return doc.openDrive(*letter, host);
    }
    if (access(source.c_str(), F_OK) != 0) {
        printError("no such file or device: " + source);
        return false;
    }
    if (startsWithImageSignature(source)) return doc.openFileDrive(source, host);
    auto letter = DriveTable::global().registerPath(source, offset);
    if (!letter) {
        printError("no free drive letter for " + source);
        return false;
    }
    return doc.openDrive(*letter, host);
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
    const auto& entries = DriveTable::global().entries();
    if (opt.json) {
        json out = json::array();
        for (const auto& e : entries)
            out.push_back({{"letter", std::string(1, e.letter) + ":"},
                           {"type", static_cast<int>(e.type)},
                           {"label", e.label},
                           {"path", e.path}});
        printJson({{"drives", out}});
        return kOk;
    }
    for (const auto& e : entries) fmt::print("{}:  {}  {:<16}  {}\n", e.letter, static_cast<int>(e.type), e.label, e.path);
    return kOk;
}

int cmdInfo(CQUIDNEYDoc& doc, const std::string& source, const Options& opt) {
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    const DriveInfo& d = doc.drive().info();
    std::uint64_t bytesPerCluster = std::uint64_t{d.bytesPerSector} * d.clusterSectors();
    if (opt.json) {
        printJson({{"label", d.label},
                   {"file_system", d.fsName},
                   {"bytes_per_sector", d.bytesPerSector},
                   {"sectors_per_cluster", d.clusterSectors()},
                   {"bytes_per_cluster", bytesPerCluster},
                   {"heads", d.heads},
                   {"sectors_per_track", d.sectorsPerTrack},
                   {"clusters", d.clusterCount},
                   {"fats", d.numberOfFats}});
        return kOk;
    }
    fmt::print("label:               {}\n", d.label);
    fmt::print("file system:         {}\n", d.fsName);
    fmt::print("bytes per sector:    {}\n", d.bytesPerSector);
    fmt::print("sectors per cluster: {}\n", d.clusterSectors());
    fmt::print("bytes per cluster:   {}\n", bytesPerCluster);
    fmt::print("heads:               {}\n", d.heads);
    fmt::print("sectors per track:   {}\n", d.sectorsPerTrack);
    fmt::print("clusters:            {}\n", d.clusterCount);
    return kOk;
}

int cmdLs(CQUIDNEYDoc& doc, const std::string& source, const std::string& itemSpec, const Options& opt) {
    doc.showDeleted = opt.deleted == "hide" ? 2 : 1;
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    if (doc.isFat()) {
        auto dirFat = parseFatCopy(opt.dirFat, doc.drive().info().numberOfFats);
        if (!dirFat) return kBadSource;
        doc.dirFat = *dirFat;
    }

    OpenDrive open(doc);
    if (!open.ok) return kBadSource;
    std::string error;
    auto start = resolveItem(doc, itemSpec.empty() ? "/" : itemSpec, error);
    if (!start) {
        printError(error);
        return kSomeFailed;
    }

    int status = kOk;
    json items = json::array();
    auto emit = [&](const FileItem& item, const std::string& path) {
        if (opt.json)
            items.push_back(itemJson(item, opt.recursive ? &path : nullptr));
        else
            printItemLine(item, opt.recursive ? path : item.name);
    };
    auto listOf = [&](const ResolvedItem& r) -> std::optional<ItemList> {
        if (r.isRoot) return doc.listForMode(ID_LIST_BASICROOT);
        return doc.listItem(r.item, &r.parent);
    };

    if (!start->isRoot && !start->item.isDirectory()) {
        emit(start->item, start->path);
    } else if (!opt.recursive) {
        auto list = listOf(*start);
        if (!list) {
            printError(formatText(diag::kCantChangeDir, start->path.c_str()));
            return kSomeFailed;
        }
        for (const FileItem& item : *list) emit(item, start->path + "/" + item.name);
    } else {
        // Depth first, each directory once: a damaged volume may link directories in a loop.
        std::set<std::uint64_t> visited;
        auto key = [&](const FileItem& item) -> std::uint64_t {
            return doc.isFat() ? directoryCluster(doc.drive(), item.firstCluster()) : item.record;
        };
        visited.insert(key(start->item));
        struct Pending {
            ItemList list;
            std::size_t next;
            std::string path;
            FileItem dir;
        };
        std::vector<Pending> stack;
        if (auto list = listOf(*start)) {
            stack.push_back({std::move(*list), 0, start->path, start->item});
        } else {
            printError(formatText(diag::kCantChangeDir, start->path.c_str()));
            return kSomeFailed;
        }
        while (!stack.empty()) {
            Pending& top = stack.back();
            if (top.next == top.list.size()) {
                stack.pop_back();
                continue;
            }
            FileItem item = top.list[top.next++];
            std::string path = top.path + "/" + item.name;
            emit(item, path);
            if (!item.isDirectory() || isDotName(item.name) || !visited.insert(key(item)).second) continue;
            auto sub = doc.listItem(item, &top.dir);
            if (!sub) {
                // Deleted directories are often overwritten; only a live one that cannot be read
                // is a failure.
                if (!item.deleted) {
                    printError(formatText(diag::kCantChangeDir, path.c_str()));
                    status = kSomeFailed;
                }
                continue;
            }
            stack.push_back({std::move(*sub), 0, path, item});
        }
    }
    if (opt.json) printJson({{"source", source}, {"path", start->path.empty() ? "/" : start->path}, {"items", items}});
    return status;
}

int cmdCat(CQUIDNEYDoc& doc, const std::string& source, const std::string& itemSpec, const Options& opt) {
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    std::optional<FatIndex> fat = 0;
    if (doc.isFat()) fat = parseFatCopy(opt.fat, doc.drive().info().numberOfFats);
    if (!fat) return kBadSource;

    OpenDrive open(doc);
    if (!open.ok) return kBadSource;
    std::string error;
    auto found = resolveItem(doc, itemSpec, error);
    if (!found) {
        printError(error);
        return kSomeFailed;
    }
    const FileItem& item = found->item;
    if (found->isRoot || item.isDirectory()) {
        printError(itemSpec + " is a directory");
        return kSomeFailed;
    }

    CDrive& drive = doc.drive();
    if (!drive.beginRead(item, doc.isFat() ? *fat : 0)) {
        printError(formatMessage(msg::kCannotOpenItem, item.name.c_str()));
        return kSomeFailed;
    }
    const std::uint32_t block = drive.bytesPerCluster();
    // Reads deliver whole sectors: room for one cluster and a little more.
    std::vector<std::uint8_t> buffer(block + 16);
    int status = kOk;
    for (std::uint64_t position = 0; position < item.size;) {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(block, item.size - position));
        // A chain that ends early leaves part of the block unread: zeros, not the block before.
        std::fill(buffer.begin(), buffer.end(), 0);
        if (!drive.read(buffer, position, n)) {
            printError(formatMessage(msg::kCannotReadItem, item.name.c_str()));
            status = kSomeFailed;
            break;
        }
        if (std::fwrite(buffer.data(), 1, n, stdout) != n) {
            printError("cannot write to standard output");
            status = kSomeFailed;
            break;
        }
        position += n;
    }
    drive.endRead();
    if (std::fflush(stdout) != 0) status = kSomeFailed;
    return status;
}

}  // namespace harrow::cli
