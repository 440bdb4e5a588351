#include "ntfs/index.h"

#include <algorithm>

#include "ntfs/inode.h"
#include "ntfs/record.h"
#include "volume/drive.h"

namespace harrow {
namespace {

constexpr const char* kI30 = "$I30";
// The position holds at most 16 levels of 4 bits; no real index is half as deep.
constexpr int kMaxDepth = 15;
constexpr std::uint8_t kSubnode = 0x01, kLastEntry = 0x02;

// The VCNs of the index records on the way down from the root: a subnode that names one of
// them again is a loop on a damaged volume.
using Path = std::vector<std::uint64_t>;

int walkNode(CInode& dir, Bytes node, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path);

int descend(CInode& dir, Bytes e, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path) {
    if (!(le8(e, 0x0C) & kSubnode) || e.size() < 0x18 || path.size() >= kMaxDepth) return 0;
    const DriveInfo& info = dir.drive().info();
    const std::uint64_t vcn = le64(e, e.size() - 8);
    if (std::find(path.begin(), path.end(), vcn) != path.end()) return 0;
    const std::uint32_t bytes = info.bytesPerIndexRecord;
    if (vcn > UINT64_MAX / info.bytesPerCluster) return 0;
    std::vector<std::uint8_t> buf(bytes + info.bytesPerSector, 0);
    if (dir.read(AT_INDEX_ALLOCATION, kI30, vcn * info.bytesPerCluster, buf, bytes) == 0) return 0;
    MutableBytes record = MutableBytes(buf).first(bytes);
    if (!repairIndexRecord(record, info.bytesPerSector)) return 0;
    const std::size_t first = 0x18 + std::size_t{le16(record, 0x18)};
    if (first >= bytes) return 0;
    path.push_back(vcn);
    int result = walkNode(dir, Bytes(record).subspan(first), p, out, path);
    path.pop_back();
    return result;
}

// Walks one node whose entries begin at `node`, as the position says: a fresh node positions on
// its first entry; otherwise the wanted entry is delivered (or the walk goes down into its
// subnode) and the position moves on to what follows.
int walkNode(CInode& dir, Bytes node, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path) {
    std::optional<std::uint32_t> target;
    if (p != 0) {
        if (p == kIndexHere) return 0;
        target = popIndex(p);
        if (!target) return 0;
    }
    int result = 0;
    std::uint32_t i = 0;
    for (std::size_t pos = 0;;) {
        const std::uint16_t length = le16(node, pos + 0x08);
        if (!fits(node.size(), pos, 0x10) || length < 0x10 || !fits(node.size(), pos, length)) {
            // A damaged node ends here. Standing on its end keeps the next call from starting
            // the node over, which would deliver the same entries for ever.
            p = kIndexHere;
            return result;
        }
        Bytes e = node.subspan(pos, length);
        const bool subnode = le8(e, 0x0C) & kSubnode, last = le8(e, 0x0C) & kLastEntry;

        if (p == 0) {
            // A subnode that cannot be read (or would lead in a circle) is passed over as if it
            // were empty: the entries of this node, and of the subnodes after it, still come.
            if (!subnode || !descend(dir, e, p, out, path)) p = kIndexHere;
            if (p == kIndexHere && last) return 1;
            pushIndex(p, i);
            return 1;
        }
        if (target && i == *target) {
            if (p != kIndexHere && subnode) {
                int r = descend(dir, e, p, out, path);
                if (r) {
                    pushIndex(p, i);
                    return r;
                }
                if (last) return 0;
                p = 0;
            }
            if (last) {
                p = kIndexHere;
                return 0;
            }
            out.assign(e.begin(), e.end());
            result = 1;
            p = 0;
        }
        ++i;
        if (last) return result;
        pos += length;
    }
}

}  // namespace

bool pushIndex(IndexPosition& p, std::uint32_t i) {
    // A position deeper than 64 bits can hold would lose its root levels: treat it like an index
    // that cannot be coded.
    const unsigned width = i <= 6 ? 4 : i <= 22 ? 6 : i <= 54 ? 8 : 10;
    if (i > 118 || (p >> (64 - width)) != 0) {
        p = ~0ull;
        return false;
    }
    if (i <= 6) {
        p = (p << 4) | (i << 1);
    } else if (i <= 22) {
        p = (p << 6) | ((i - 7) << 2) | 1;
    } else if (i <= 54) {
        p = (p << 8) | ((i - 23) << 3) | 3;
    } else {
        p = (p << 10) | ((i - 55) << 4) | 7;
    }
    return true;
}

std::optional<std::uint32_t> popIndex(IndexPosition& p) {
    std::uint32_t i;
    if ((p & 0x1) == 0) {
        i = static_cast<std::uint32_t>((p >> 1) & 0x7);
        p >>= 4;
    } else if ((p & 0x3) == 1) {
        i = static_cast<std::uint32_t>((p >> 2) & 0xF) + 7;
        p >>= 6;
    } else if ((p & 0x7) == 3) {
        i = static_cast<std::uint32_t>((p >> 3) & 0x1F) + 23;
        p >>= 8;
    } else if ((p & 0xF) == 7) {
        i = static_cast<std::uint32_t>((p >> 4) & 0x3F) + 55;
        p >>= 10;
    } else {
        p = kIndexHere;
        return std::nullopt;
    }
    return i;
}

std::optional<IndexKey> parseIndexEntry(Bytes e) {
    if (le8(e, 0x0C) & kLastEntry) return std::nullopt;
    constexpr std::size_t kKey = 0x10;
    const std::size_t nameLength = le8(e, kKey + 0x40);
    if (!fits(e.size(), kKey + 0x42, 2 * nameLength)) return std::nullopt;
    IndexKey k;
    k.record = le64(e, 0) & 0x0000FFFFFFFFFFFFull;
    k.parent = le64(e, kKey) & 0x0000FFFFFFFFFFFFull;
    k.modified = le64(e, kKey + 0x10);
    k.dataSize = le64(e, kKey + 0x30);
    k.nameSpace = le8(e, kKey + 0x41);
    for (std::size_t i = 0; i < nameLength; ++i) k.name += static_cast<char16_t>(le16(e, kKey + 0x42 + 2 * i));
    return k;
}

bool enumerate(CInode& dir, IndexPosition& p, std::vector<std::uint8_t>& entry) {
    const std::uint32_t recordBytes = dir.drive().info().bytesPerFileRecord;
    std::vector<std::uint8_t> root(recordBytes);
    std::uint64_t n = dir.read(AT_INDEX_ROOT, kI30, 32, root, recordBytes);
    if (n == 0) return false;
    Path path;
    return walkNode(dir, Bytes(root).first(static_cast<std::size_t>(n)), p, entry, path) != 0;
}

}  // namespace harrow
