#include "document/item_path.h"

#include <algorithm>
#include <charconv>
#include <tuple>
#include <utility>

#include "common/strings.h"
#include "document/tree_walk.h"
#include "ntfs/ntfs_list.h"

namespace harrow {
namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// One step of an ITEM path, its escapes undone. `literal`: it was written with an escape, so a
// "." or ".." means an item so named, never the directory's own entry.
struct PathStep {
    std::string name;
    std::string written;
    bool literal = false;
};

std::vector<PathStep> splitPath(const std::string& path) {
    std::vector<PathStep> steps;
    PathStep step;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '/') {
            if (!step.written.empty()) steps.push_back(std::move(step));
            step = PathStep{};
            continue;
        }
        step.written += c;
        if (c != '\\' || i + 1 == path.size()) {
            step.name += c;
            continue;
        }
        const char n = path[i + 1];
        if (n == '/' || n == '\\' || n == '.' || n == 'n' || n == 't') {
            step.name += n == 'n' ? '\n' : n == 't' ? '\t' : n;
            step.written += n;
            step.literal = true;
            ++i;
        } else if (n <= '3' && isOctal(n) && i + 3 < path.size() && isOctal(path[i + 2]) && isOctal(path[i + 3])) {
            step.name += static_cast<char>(((n - '0') << 6) | ((path[i + 2] - '0') << 3) | (path[i + 3] - '0'));
            step.written += path.substr(i + 1, 3);
            step.literal = true;
            i += 3;
        } else {
            step.name += c;  // a backslash before anything else stands for itself
        }
    }
    if (!step.written.empty()) steps.push_back(std::move(step));
    return steps;
}

// "@N", "@N/B/C" or "@N:stream": the number N as written, and what follows it.
std::pair<std::string, std::string> splitAtAddress(const std::string& address) {
    const std::size_t end = address.find_first_of("/:", 1);
    if (end == std::string::npos) return {address.substr(1), ""};
    return {address.substr(1, end - 1), address.substr(end)};
}

}  // namespace

std::optional<ResolvedItem> resolveItem(CQUIDNEYDoc& doc, const std::string& address, std::string& error) {
    ResolvedItem cur{doc.rootItem(), doc.rootItem(), "", true};
    std::string rest = address;

    if (!address.empty() && address[0] == '@') {
        std::string number;
        std::tie(number, rest) = splitAtAddress(address);
        std::uint64_t n = 0;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
        if (number.empty() || ec != std::errc{} || end != number.data() + number.size()) {
            error = "not an item address: " + address;
            return std::nullopt;
        }
        cur.isRoot = false;
        cur.path = "@" + number;
        if (!doc.isFat()) {
            // NTFS: the file record at that sector, whether or not any list holds it.
            auto item = ntfsItemAtSector(doc.drive().mft(), n);
            if (!item) {
                error = "no file record at sector " + number;
                return std::nullopt;
            }
            cur.item = *item;
        } else if (const FileItem* found = doc.findFoundItem(n)) {
            cur.item = *found;
        } else if (auto it = std::find_if(doc.rootList.begin(), doc.rootList.end(),
                                          [&](const FileItem& i) { return i.cluster == n; });
                   it != doc.rootList.end()) {
            cur.item = *it;
        } else if (doc.addFoundDirectory(n) && doc.findFoundItem(n)) {
            // A directory no list holds yet: found as the scan would find it, named from its parent.
            cur.item = *doc.findFoundItem(n);
        } else {
            // No list holds it: take the cluster as a directory; listing it checks that it is one.
            cur.item = FileItem{};
            cur.item.kind = ITEM_DIR;
            cur.item.attributes = ATTR_DIRECTORY;
            cur.item.cluster = n;
            cur.item.name = "@" + number;
        }
        if (!rest.empty() && rest[0] == ':') {
            // A named stream of the record, written as a path step is; nothing is below it.
            const std::vector<PathStep> steps = splitPath(rest.substr(1));
            const ItemList streams = steps.size() == 1 ? doc.streamsOf(cur.item) : ItemList{};
            auto it = std::find_if(streams.begin(), streams.end(),
                                   [&](const FileItem& s) { return s.stream == steps[0].name; });
            if (it == streams.end()) {
                error = "no such stream: " + address;
                return std::nullopt;
            }
            cur.parent = cur.item;
            cur.item = *it;
            cur.path += ":" + pathName(it->stream);
            return cur;
        }
    }

    for (const PathStep& step : splitPath(rest)) {
        std::optional<ItemList> list;
        if (cur.isRoot)
            list = doc.listForMode(ID_LIST_BASICROOT);
        else if (cur.item.isDirectory())
            list = doc.listItem(cur.item, cur.parent);
        if (!list) {
            error = formatText(diag::kCantChangeDir, cur.path.empty() ? "/" : cur.path);
            return std::nullopt;
        }
        const std::size_t ownDots = ownDotEntries(doc, cur.item, *list);
        std::size_t at = 0;
        while (at < list->size() && ((*list)[at].name != step.name || (step.literal && at < ownDots))) ++at;
        // exFAT names compare without regard to case, through the volume's own up-case table;
        // a name written exactly as listed is still found first.
        if (at == list->size() && doc.isExfat()) {
            const exfat::UpcaseTable& upcase = doc.drive().upcase();
            at = 0;
            while (at < list->size() && !upcase.sameName((*list)[at].name, step.name)) ++at;
        }
        if (at == list->size()) {
            error = "no such item: " + cur.path + "/" + step.written;
            return std::nullopt;
        }
        cur.parent = cur.item;
        cur.item = (*list)[at];
        cur.ownDot = at < ownDots;
        cur.path += "/" + pathName(cur.item.name, cur.ownDot);
        cur.isRoot = false;
    }
    return cur;
}

std::optional<std::string> badAddress(CQUIDNEYDoc& doc, const std::string& address) {
    if (address.empty() || address[0] != '@') return std::nullopt;
    const std::string number = splitAtAddress(address).first;
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (number.empty() || ec != std::errc{} || end != number.data() + number.size())
        return "not an item address: " + address + " (@ takes a cluster number on FAT, a sector number on NTFS)";
    const DriveInfo& info = doc.drive().info();
    if (info.isNtfs()) {
        const std::uint64_t sectors = info.clusterCount * info.clusterSectors();
        if (n >= sectors) return "sector " + number + " is past the end of the volume (" + std::to_string(sectors) + " sectors)";
        return std::nullopt;
    }
    // Clusters 0 and 1 do not exist; the data area's clusters run from 2 to the cluster count + 1.
    const std::uint64_t last = info.clusterCount + 1;
    if (n < 2 || n > last)
        return "cluster " + number + " is not on this volume: its clusters are 2 to " + std::to_string(last) +
               " (the root is /)";
    return std::nullopt;
}

std::string pathName(const std::string& name, bool ownDot) {
    if ((name == "." || name == "..") && !ownDot) return "\\" + name;
    std::string out;
    for (char c : name) {
        if (c == '\\' || c == '/') out += '\\';
        out += c;
    }
    return out;
}

std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots) {
    std::vector<std::string> names;
    names.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) names.push_back(pathName(items[i].name, i < ownDots));
    return names;
}

}  // namespace harrow
