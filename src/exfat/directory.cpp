#include "exfat/directory.h"

#include <algorithm>
#include <unordered_set>

#include "common/text.h"

namespace harrow::exfat {
namespace {

// Root entries
enum : std::size_t { kBitmapFlags = 1, kSystemFirstCluster = 20, kSystemLength = 24 };

std::uint64_t heapBytes(const DriveInfo& info) { return info.clusterCount * info.bytesPerCluster; }

// Whether `bytes` from cluster `first` on lie in the heap: the first cluster in it (or none, for
// nothing), and, one after another, the last too; a chain is checked as it is read.
bool inHeap(const DriveInfo& info, std::uint32_t first, std::uint64_t bytes, bool contiguous) {
    if (bytes == 0) return true;
    const std::uint64_t last = info.clusterCount + 1;
    if (first < 2 || first > last || bytes > heapBytes(info)) return false;
    if (!contiguous) return true;
    const std::uint64_t clusters = (bytes + info.bytesPerCluster - 1) / info.bytesPerCluster;
    return clusters - 1 <= last - first;
}

// Reads up to `most` bytes from `first`, as readDirectory describes; `bytes` bounds a contiguous
// read, the chain's end the other.
bool readClusters(Volume& volume, const FatTable& fat, FatIndex copy, std::uint32_t first, std::uint64_t most,
                  bool contiguous, std::vector<std::uint8_t>& out) {
    out.clear();
    const DriveInfo& info = volume.info();
    const std::uint32_t cb = info.bytesPerCluster, spc = info.clusterSectors();
    if (cb == 0 || spc == 0 || first < 2 || first > info.clusterCount + 1) return false;
    const std::uint64_t clusters = (most + cb - 1) / cb;
    if (contiguous || copy < 0) {
        const std::uint64_t held = std::min<std::uint64_t>(clusters, info.clusterCount + 2 - first);
        out.resize(static_cast<std::size_t>(held * cb));
        // Cluster by cluster after a failure, so that what comes before a bad one is kept.
        if (volume.readSectors(out, info.heapOffset + std::uint64_t{first - 2} * spc, static_cast<std::uint32_t>(held * spc)))
            return true;
        for (std::uint64_t k = 0; k < held; ++k) {
            MutableBytes at = MutableBytes(out).subspan(static_cast<std::size_t>(k * cb), cb);
            if (volume.sourceLost() || !volume.readSectors(at, info.heapOffset + (first - 2 + k) * spc, spc)) {
                out.resize(static_cast<std::size_t>(k * cb));
                return false;
            }
        }
        return true;
    }
    // The clusters of this chain alone: a bit per cluster of a large volume would cost more than
    // the directory.
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t c = first; out.size() / cb < clusters; c = fat.next(copy, c)) {
        if (c < 2 || c > info.clusterCount + 1 || !seen.insert(c).second) break;
        const std::size_t at = out.size();
        out.resize(at + cb);
        if (!volume.readSectors(MutableBytes(out).subspan(at, cb), info.heapOffset + std::uint64_t{c - 2} * spc, spc)) {
            out.resize(at);
            return false;
        }
    }
    return true;
}

}  // namespace

DirectoryPlace placeOf(const FileItem& dir) {
    return {dir.firstCluster(), dir.size, dir.contiguous};
}

bool readDirectory(Volume& volume, const FatTable& fat, FatIndex copy, const DirectoryPlace& place,
                   std::vector<std::uint8_t>& out) {
    const std::uint64_t most = std::min(place.bytes.value_or(kMaxDirectoryBytes), kMaxDirectoryBytes);
    return readClusters(volume, fat, copy, place.first, most, place.contiguous, out);
}

std::optional<std::vector<std::uint8_t>> readSystemFile(Volume& volume, const FatTable& fat, std::uint32_t first,
                                                        std::uint64_t bytes, std::uint64_t most) {
    if (bytes == 0 || bytes > most || !inHeap(volume.info(), first, bytes, false)) return std::nullopt;
    // mkfs and the drivers chain the system files in the FAT; where the FAT is lost (or never
    // had it) they are taken to lie one cluster after another, as they are written.
    const bool chained = fat.loaded() && fat.entry(0, first) != 0 && fat.known(0, first);
    std::vector<std::uint8_t> out;
    if (!readClusters(volume, fat, 0, first, bytes, !chained, out) || out.size() < bytes) return std::nullopt;
    out.resize(static_cast<std::size_t>(bytes));
    return out;
}

Listing listEntries(Bytes directory, const DriveInfo& info, bool withDeleted, bool topLevel) {
    Listing listing;
    for (std::size_t at = 0; at + kEntryBytes <= directory.size();) {
        const std::uint8_t type = directory[at];
        if (type == kEndOfDirectory) break;
        EntrySet set;
        const SetParse parsed = parseEntrySet(directory.subspan(at), set);
        if (parsed == SetParse::NotASet) {
            at += kEntryBytes;
            continue;
        }
        const bool contiguous = set.noFatChain;
        const bool holds = parsed == SetParse::Set && set.checksumOk &&
                           inHeap(info, set.firstCluster, set.dataLength, contiguous) &&
                           ((set.attributes & ATTR_DIRECTORY) == 0 || set.dataLength <= kMaxDirectoryBytes);
        if (!holds) {
            if (type == kFileEntry) ++listing.skipped;
            at += kEntryBytes;
            continue;
        }
        at += set.entries * kEntryBytes;
        if (set.deleted && !withDeleted) continue;
        FileItem item;
        const bool dir = set.attributes & ATTR_DIRECTORY;
        item.kind = !dir ? ITEM_FILE : topLevel ? ITEM_TOPDIR : ITEM_DIR;
        item.name = (set.deleted ? "#" : "") + utf8FromUtf16(set.name);
        item.attributes = static_cast<std::uint8_t>(set.attributes & 0x3F);
        item.date = set.modified.date;
        item.time = set.modified.time;
        item.timeCentiseconds = set.modified.centiseconds;
        item.utcOffsetMinutes = set.modified.utcOffsetMinutes;
        item.cluster = set.dataLength == 0 && !dir ? 0 : set.firstCluster;
        item.parentCluster = kParentFromDirectory;
        item.size = set.dataLength;
        item.validSize = std::min(set.validLength, set.dataLength);
        item.contiguous = contiguous;
        item.deleted = set.deleted;
        listing.items.push_back(std::move(item));
    }
    return listing;
}

bool startsDirectory(Bytes cluster) {
    const std::uint8_t type = le8(cluster, 0);
    if (type == kBitmapEntry || type == kUpcaseEntry || type == kLabelEntry) return cluster.size() >= kEntryBytes;
    EntrySet set;
    return parseEntrySet(cluster, set) == SetParse::Set && set.checksumOk;
}

RootEntries rootEntries(Bytes root) {
    RootEntries found;
    for (std::size_t at = 0; at + kEntryBytes <= root.size(); at += kEntryBytes) {
        const Bytes e = root.subspan(at, kEntryBytes);
        const std::uint8_t type = e[0];
        if (type == kEndOfDirectory) break;
        if (type == kBitmapEntry && !found.bitmapCluster && (le8(e, kBitmapFlags) & 1) == 0) {
            found.bitmapCluster = le32(e, kSystemFirstCluster);
            found.bitmapBytes = le64(e, kSystemLength);
        } else if (type == kUpcaseEntry && !found.upcaseCluster) {
            found.upcaseCluster = le32(e, kSystemFirstCluster);
            found.upcaseBytes = le64(e, kSystemLength);
        } else if (type == kLabelEntry && found.label.empty()) {
            found.label = labelOf(e);
        }
    }
    return found;
}

}  // namespace harrow::exfat
