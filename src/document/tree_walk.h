// Walking a directory tree depth first, as `ls -r` prints it and `save -r` copies it: every item
// of a listed directory in list order, each directory entered right after it is visited. A
// damaged volume may link directories in a circle, so each directory is entered once; a
// directory's own "." and ".." are visited but never entered. Those are told by their place in
// the listing, not by name: a hostile volume may call any directory "..", and what is below it
// must not be lost.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "document/document.h"

namespace harrow {

class TreeVisitor {
public:
    virtual ~TreeVisitor() = default;
    // How the items of one listing are written in the paths handed to visit and enter, one name
    // per item; the first `ownDots` items are the directory's own "." and "..". By default the
    // items' names.
    virtual std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots);
    // An item of a listed directory. False stops the walk.
    virtual bool visit(const FileItem& item, const std::string& path, int depth) = 0;
    // Whether to go into a directory just visited (not yet entered in this walk).
    virtual bool enter(const FileItem& /*dir*/, const std::string& /*path*/, int /*depth*/) { return true; }
    // After the last item below a directory that was entered.
    virtual void leave(const FileItem& /*dir*/) {}
    // A directory that was entered but could not be listed.
    virtual void listFailed(const FileItem& /*dir*/, const std::string& /*path*/) {}
};

// How many of the first items of `items`, the listing of `dir`, are the directory's own "." and
// "..": 2 where the listing begins with them (every FAT directory but the root, whose first two
// slots they take; every NTFS directory but the system's, where the "." item is the directory's
// own record), else 0.
std::size_t ownDotEntries(const CQUIDNEYDoc& doc, const FileItem& dir, const ItemList& items);

class TreeWalk {
public:
    TreeWalk(CQUIDNEYDoc& doc, TreeVisitor& visitor) : doc_(doc), visitor_(visitor) {}

    // Walks `items`, the listing of directory `dir` found at `path` (depth 0), and everything
    // below them. The drive must be open. Directories entered in earlier walks of this object
    // (`dir` too) are not entered again. False when the visitor stopped the walk or the source
    // was lost.
    bool walk(ItemList items, const FileItem& dir, const std::string& path);
    // Whether a walk of this object has entered `dir` (or started from it).
    bool entered(const FileItem& dir) const { return entered_.count(keyOf(dir)) != 0; }

private:
    // What identifies a directory on the volume: its first cluster, or its file record.
    std::uint64_t keyOf(const FileItem& dir) const;

    CQUIDNEYDoc& doc_;
    TreeVisitor& visitor_;
    std::set<std::uint64_t> entered_;
};

}  // namespace harrow
