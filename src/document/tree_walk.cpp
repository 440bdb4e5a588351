#include "document/tree_walk.h"

#include <vector>

#include "fatfs/directory.h"

namespace harrow {
std::uint64_t TreeWalk::keyOf(const FileItem& dir) const {
    return doc_.isFat() ? directoryCluster(doc_.drive().info(), dir.firstCluster()) : dir.record;
}

bool TreeWalk::walk(ItemList items, const FileItem& dir, const std::string& path) {
    struct Level {
        ItemList items;
        std::size_t next;
        std::string path;
        FileItem dir;
    };
    if (!entered_.insert(keyOf(dir)).second) return true;
    // An explicit stack: a hostile volume may nest directories deeper than the call stack goes.
    std::vector<Level> stack;
    stack.push_back({std::move(items), 0, path, dir});
    while (!stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.items.size()) {
            if (stack.size() > 1) visitor_.leave(top.dir);
            stack.pop_back();
            continue;
        }
        const FileItem item = top.items[top.next++];
        const std::string itemPath = top.path + "/" + item.name;
        const int depth = static_cast<int>(stack.size()) - 1;
        if (!visitor_.visit(item, itemPath, depth) || doc_.drive().sourceLost()) return false;
        if (!item.isDirectory() || item.isDotName() || entered_.count(keyOf(item))) continue;
        if (!visitor_.enter(item, itemPath, depth)) continue;
        entered_.insert(keyOf(item));
        auto list = doc_.listItem(item, &top.dir);
        if (doc_.drive().sourceLost()) return false;
        if (!list) {
            visitor_.listFailed(item, itemPath);
            visitor_.leave(item);
            continue;
        }
        stack.push_back({std::move(*list), 0, itemPath, item});
    }
    return true;
}

}  // namespace harrow
