#include "document/tree_walk.h"

#include <vector>

#include "fatfs/directory.h"

namespace harrow {

std::vector<std::string> TreeVisitor::pathNames(const ItemList& items, std::size_t) {
    std::vector<std::string> names;
    names.reserve(items.size());
    for (const FileItem& item : items) names.push_back(item.name);
    return names;
}

std::size_t ownDotEntries(const CQUIDNEYDoc& doc, const FileItem& dir, const ItemList& items) {
    // exFAT directories hold no entries for themselves or their parents.
    if (items.size() < 2 || doc.isExfat()) return 0;
    if (doc.isFat()) {
        const DriveInfo& info = doc.drive().info();
        return directoryCluster(info, dir.firstCluster()) == info.rootCluster ? 0 : 2;
    }
    // System records never appear in a listing, so only the directory's own "." has its record.
    return items[0].record == dir.record && items[0].name == "." && items[1].name == ".." ? 2 : 0;
}

std::uint64_t TreeWalk::keyOf(const FileItem& dir) const {
    return doc_.isFat() ? directoryCluster(doc_.drive().info(), dir.firstCluster()) : dir.record;
}

bool TreeWalk::walk(ItemList items, const FileItem& dir, const std::string& path) {
    struct Level {
        ItemList items;
        std::size_t next;
        std::string path;
        FileItem dir;
        std::size_t ownDots;
        std::vector<std::string> names;
    };
    if (!entered_.insert(keyOf(dir)).second) return true;
    auto level = [&](ItemList list, const std::string& at, const FileItem& of) {
        const std::size_t dots = ownDotEntries(doc_, of, list);
        std::vector<std::string> names = visitor_.pathNames(list, dots);
        return Level{std::move(list), 0, at, of, dots, std::move(names)};
    };
    // An explicit stack: a hostile volume may nest directories deeper than the call stack goes.
    std::vector<Level> stack;
    stack.push_back(level(std::move(items), path, dir));
    while (!stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.items.size()) {
            if (stack.size() > 1) visitor_.leave(top.dir);
            stack.pop_back();
            continue;
        }
        const std::size_t index = top.next++;
        const FileItem item = top.items[index];
        const std::string itemPath = top.path + "/" + (index < top.names.size() ? top.names[index] : item.name);
        const int depth = static_cast<int>(stack.size()) - 1;
        if (!visitor_.visit(item, itemPath, depth) || doc_.drive().sourceLost()) return false;
        if (!item.isDirectory() || index < top.ownDots || entered_.count(keyOf(item))) continue;
        if (!visitor_.enter(item, itemPath, depth)) continue;
        entered_.insert(keyOf(item));
        auto list = doc_.listItem(item, top.dir);
        if (doc_.drive().sourceLost()) return false;
        if (!list) {
            visitor_.listFailed(item, itemPath);
            visitor_.leave(item);
            continue;
        }
        stack.push_back(level(std::move(*list), itemPath, item));
    }
    return true;
}

}  // namespace harrow
