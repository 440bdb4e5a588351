#include "ntfs/index.h"

#include <algorithm>
#include <utility>

#include "ntfs/inode.h"
#include "ntfs/record.h"

namespace harrow {
namespace {

constexpr const char* kI30 = "$I30";
// The position holds at most 16 levels of 4 bits; no real index is half as deep.
constexpr int kMaxDepth = 15;
constexpr std::uint8_t kSubnode = 0x01, kLastEntry = 0x02;

// Index blocks kept by one listing; past this the cache starts over.
constexpr std::uint64_t kMaxCachedBytes = 64u << 20;

// Index block ("INDX"):
//   0x00 "INDX"   0x06 update sequence count   0x10 the block's own VCN
//   0x18 entries offset (from 0x18)   0x28 update sequence number   0x2A update sequence array
constexpr std::size_t kBlockVcn = 0x10, kEntriesOffset = 0x18;

// The VCNs of the index records on the way down from the root: a subnode that names one of
// them again is a loop on a damaged volume.
using Path = std::vector<std::uint64_t>;

int walkNode(IndexReader& index, Bytes node, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path);

int descend(IndexReader& index, Bytes e, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path) {
    if (!(le8(e, 0x0C) & kSubnode) || e.size() < 0x18 || path.size() >= kMaxDepth) return 0;
    const std::uint64_t vcn = le64(e, e.size() - 8);
    // Going down afresh (rather than back to where the position stands) is the one step that
    // adds work; taken once per block, the walk stays as long as the index however the subnode
    // pointers cross or circle.
    if (!index.enter(vcn) && p == 0) {
        index.noteReentry(vcn);
        return 0;
    }
    if (std::find(path.begin(), path.end(), vcn) != path.end()) return 0;
    // Held here: the cache may let go of the block while the walk is below it.
    const auto block = index.block(vcn);
    if (!block) return 0;
    path.push_back(vcn);
    int result = walkNode(index, Bytes(*block), p, out, path);
    path.pop_back();
    return result;
}

// Walks one node whose entries begin at `node`, as the position says: a fresh node positions on
// its first entry; otherwise the wanted entry is delivered (or the walk goes down into its
// subnode) and the position moves on to what follows.
int walkNode(IndexReader& index, Bytes node, IndexPosition& p, std::vector<std::uint8_t>& out, Path& path) {
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
            if (!subnode || !descend(index, e, p, out, path)) p = kIndexHere;
            if (p == kIndexHere && last) return 1;
            pushIndex(p, i);
            return 1;
        }
        if (target && i == *target) {
            if (p != kIndexHere && subnode) {
                int r = descend(index, e, p, out, path);
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

std::optional<Bytes> IndexReader::root() {
    if (!root_) {
        const std::uint32_t recordBytes = dir_.volume().info().bytesPerFileRecord;
        std::vector<std::uint8_t> value(recordBytes);
        value.resize(static_cast<std::size_t>(dir_.read(AT_INDEX_ROOT, kI30, 32, value, recordBytes)));
        root_ = std::move(value);
        planChildren(*root_);
    }
    if (root_->empty()) return std::nullopt;
    return Bytes(*root_);
}

IndexReader::Block IndexReader::block(std::uint64_t vcn) {
    if (auto it = blocks_.find(vcn); it != blocks_.end()) return it->second;
    const DriveInfo& info = dir_.volume().info();
    const std::uint32_t bytes = info.bytesPerIndexRecord;
    // Blocks are numbered in clusters, or in 512-byte units where a block is smaller than a
    // cluster.
    const std::uint64_t unit = bytes < info.bytesPerCluster ? 512 : info.bytesPerCluster;
    std::vector<std::uint8_t> buf;
    bool usable = false;
    if (unit != 0 && vcn <= UINT64_MAX / unit && bytes > kEntriesOffset + 2) {
        buf.assign(bytes + info.bytesPerSector, 0);
        MutableBytes record = MutableBytes(buf).first(bytes);
        usable = dir_.read(AT_INDEX_ALLOCATION, kI30, vcn * unit, buf, bytes) == bytes &&
                 repairIndexRecord(record) && le64(record, kBlockVcn) == vcn;
        // Keep the entries only: the node the walk goes through.
        const std::size_t entries = kEntriesOffset + std::size_t{le16(record, kEntriesOffset)};
        usable = usable && entries < bytes;
        if (usable) buf = std::vector<std::uint8_t>(buf.begin() + static_cast<std::ptrdiff_t>(entries),
                                                    buf.begin() + bytes);
    }
    Block block;
    if (usable) {
        block = std::make_shared<const std::vector<std::uint8_t>>(std::move(buf));
        planChildren(*block);
    }
    else if (unit != 0 && vcn <= UINT64_MAX / unit && !held(vcn * unit, bytes))
        missing_.push_back(vcn);
    else
        damaged_.push_back(vcn);
    if (cachedBytes_ + bytes > kMaxCachedBytes) {
        blocks_.clear();
        cachedBytes_ = 0;
    }
    cachedBytes_ += bytes;
    blocks_.emplace(vcn, block);
    return block;
}

bool IndexReader::held(std::uint64_t offset, std::uint32_t bytes) const {
    const AttrEntry* a = dir_.find(AT_INDEX_ALLOCATION, kI30);
    const DriveInfo& info = dir_.volume().info();
    const std::uint64_t bpc = info.bytesPerCluster, bps = info.bytesPerSector;
    if (!a || !a->nonResident() || bpc == 0 || bps == 0 || bpc % bps != 0) return true;
    std::uint64_t vcn = offset / bpc, within = offset % bpc;
    std::uint64_t left = bytes;
    for (const DataRun& run : a->runs) {
        if (left == 0) break;
        if (vcn >= run.length) {
            vcn -= run.length;
            continue;
        }
        const std::uint64_t inRun = std::min<std::uint64_t>(left, (run.length - vcn) * bpc - within);
        // A sparse run has no sectors to hold; a negative cluster is damage, said as such.
        if (!run.sparse) {
            if (run.lcn < 0 || static_cast<std::uint64_t>(run.lcn) > UINT64_MAX / bpc - vcn - 1) return true;
            const std::uint64_t byte = (static_cast<std::uint64_t>(run.lcn) + vcn) * bpc + within;
            if (!dir_.volume().holdsSectors(byte / bps, (inRun + byte % bps + bps - 1) / bps)) return false;
        }
        left -= inRun;
        vcn = 0;
        within = 0;
    }
    return true;
}

void IndexReader::planChildren(Bytes node) const {
    const AttrEntry* a = dir_.find(AT_INDEX_ALLOCATION, kI30);
    const DriveInfo& info = dir_.volume().info();
    const std::uint32_t bytes = info.bytesPerIndexRecord;
    const std::uint64_t unit = bytes < info.bytesPerCluster ? 512 : info.bytesPerCluster;
    if (!a || unit == 0 || bytes == 0) return;
    std::vector<SectorExtent> plan;
    for (std::size_t pos = 0; fits(node.size(), pos, 0x10);) {
        const std::uint16_t length = le16(node, pos + 0x08);
        if (length < 0x10 || !fits(node.size(), pos, length)) break;
        const Bytes e = node.subspan(pos, length);
        pos += length;
        if (!(le8(e, 0x0C) & kSubnode) || length < 0x18) continue;
        const std::uint64_t vcn = le64(e, length - 8);
        if (vcn > UINT64_MAX / unit || blocks_.contains(vcn)) continue;
        for (const SectorExtent& x : dir_.sectorsOf(*a, vcn * unit, 4, bytes).extents) {
            if (!plan.empty() && plan.back().first + plan.back().count == x.first)
                plan.back().count += x.count;
            else
                plan.push_back(x);
        }
        if (le8(e, 0x0C) & kLastEntry) break;
    }
    // A node without subnodes leaves the plan of the one above it.
    if (!plan.empty()) dir_.volume().willRead(plan);
}

void IndexReader::noteReentry(std::uint64_t vcn) {
    if (!std::exchange(reentryNoted_, true)) damaged_.push_back(vcn);
}

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

bool enumerate(IndexReader& index, IndexPosition& p, std::vector<std::uint8_t>& entry) {
    const auto root = index.root();
    if (!root) return false;
    if (p == kIndexStart) index.restart();
    Path path;
    return walkNode(index, *root, p, entry, path) != 0;
}

}  // namespace harrow
