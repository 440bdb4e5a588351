#include <algorithm>
#include <charconv>

#include "cli/cli.h"
#include "common/strings.h"
#include "ntfs/ntfs_list.h"

namespace harrow::cli {
namespace {

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

FileItem rootItem(const CQUIDNEYDoc& doc) { return doc.dirStack.empty() ? FileItem{} : doc.dirStack[0]; }

}  // namespace

std::optional<ResolvedItem> resolveItem(CQUIDNEYDoc& doc, const std::string& address, std::string& error) {
    ResolvedItem cur{rootItem(doc), rootItem(doc), "", true};
    std::string rest = address;

    if (!address.empty() && address[0] == '@') {
        std::size_t slash = address.find('/');
        std::string number = address.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        std::uint64_t n = 0;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
        if (number.empty() || ec != std::errc{} || end != number.data() + number.size()) {
            error = "not an item address: " + address;
            return std::nullopt;
        }
        rest = slash == std::string::npos ? "" : address.substr(slash);
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
    }

    for (const std::string& part : splitPath(rest)) {
        std::optional<ItemList> list;
        if (cur.isRoot)
            list = doc.listForMode(ID_LIST_BASICROOT);
        else if (cur.item.isDirectory())
            list = doc.listItem(cur.item, &cur.parent);
        if (!list) {
            error = formatText(diag::kCantChangeDir, cur.path.empty() ? "/" : cur.path);
            return std::nullopt;
        }
        auto it = std::find_if(list->begin(), list->end(), [&](const FileItem& i) { return i.name == part; });
        if (it == list->end()) {
            error = "no such item: " + cur.path + "/" + part;
            return std::nullopt;
        }
        cur.parent = cur.item;
        cur.item = *it;
        cur.path += "/" + part;
        cur.isRoot = false;
    }
    return cur;
}

std::optional<std::string> badAddress(CQUIDNEYDoc& doc, const std::string& address) {
    if (address.empty() || address[0] != '@') return std::nullopt;
    const std::string number = address.substr(1, address.find('/') == std::string::npos ? std::string::npos
                                                                                         : address.find('/') - 1);
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

}  // namespace harrow::cli
