#include "fatfs/directory.h"

#include <ctime>
#include <string_view>

#include "common/dostime.h"
#include "fatfs/boot_sector.h"

namespace harrow {
namespace {

// The latest year a working clock could have stamped an entry with.
int latestYear() {
    static const int year = [] {
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        return localtime_r(&now, &tm) ? tm.tm_year + 1900 + 1 : 2107;
    }();
    return year;
}

// A stamp is either unset or a date (and time) the clock could have given.
bool plausibleStamp(std::uint16_t date, std::uint16_t time) {
    if (date == 0 && time == 0) return true;
    const auto civil = civilFromDos(date, time);
    return civil && civil->year <= latestYear();
}

bool plausibleLongNamePiece(Bytes e) {
    const std::uint8_t b0 = le8(e, 0);
    const std::uint8_t ordinal = b0 & 0x3F;
    // A deleted piece has lost its ordinal to the mark.
    const bool ordinalFits = b0 == kDeletedMark || ((b0 & 0x80) == 0 && ordinal >= 1 && ordinal <= 20);
    return ordinalFits && le8(e, 12) == 0 && le16(e, 26) == 0;
}

// The first cluster of an entry, with the FAT32 root's 0 as it stands.
bool plausibleCluster(const DriveInfo& info, std::uint32_t c) { return c == 0 || (c >= 2 && c <= info.clusterCount + 1); }

}  // namespace

std::uint32_t directoryCluster(const DriveInfo& info, std::uint32_t cluster) {
    return info.fsType == FsType::Fat32 && cluster == 0 ? info.rootCluster : cluster;
}

bool plausibleEntry(const DriveInfo& info, Bytes e) {
    if (e.size() < kDirEntrySize || le8(e, 0) == 0) return false;
    const std::uint8_t attributes = le8(e, dirent::kAttributes);
    if (attributes == 0x0F) return plausibleLongNamePiece(e);
    // Bits 0x40 and 0x80 no driver sets; a volume label stands in the root alone.
    if (attributes & 0xC8) return false;
    constexpr std::string_view kNotInNames = "\"*+,./:;<=>?[\\]|";
    if (le8(e, 0) == ' ') return false;
    for (std::size_t i = 0; i < 11; ++i) {
        const std::uint8_t c = le8(e, i);
        if (i == 0 && (c == kDeletedMark || c == 0x05)) continue;
        if (c < 0x20 || kNotInNames.find(static_cast<char>(c)) != std::string_view::npos) return false;
    }
    const std::uint32_t first = firstClusterOfEntry(info, e);
    if (!plausibleCluster(info, first)) return false;
    const std::uint64_t size = le32(e, dirent::kSize);
    const std::uint64_t volumeBytes = info.clusterCount * info.clusterSectors() * std::uint64_t{info.bytesPerSector};
    // Deleting a file on FAT32 may clear the high half of its first cluster: a deleted file of
    // some size may show cluster 0.
    if (size > volumeBytes || (size != 0 && first == 0 && !isDeleted(e))) return false;
    // Creation time in hundredths (byte 13), creation time and date, access date: each may be
    // unset. The write date every driver sets.
    return le8(e, 13) < 200 && plausibleStamp(le16(e, 16), le16(e, 14)) && plausibleStamp(le16(e, 18), 0) &&
           le16(e, dirent::kDate) != 0 && plausibleStamp(le16(e, dirent::kDate), le16(e, dirent::kTime));
}

ClusterLook lookAtCluster(const DriveInfo& info, Bytes cluster) {
    ClusterLook look;
    look.dots = cluster.size() >= 2 * kDirEntrySize && isDotEntry(cluster.first(kDirEntrySize)) &&
                isDotDotEntry(cluster.subspan(kDirEntrySize, kDirEntrySize));
    for (std::size_t at = 0; at + kDirEntrySize <= cluster.size(); at += kDirEntrySize) {
        const Bytes e = cluster.subspan(at, kDirEntrySize);
        if (look.ended) {
            // Behind the end a directory's slots are as its cluster was cleared: free.
            if (le8(e, 0) != 0) ++look.litter;
        } else if (le8(e, 0) == 0) {
            look.ended = true;
        } else if (plausibleEntry(info, e) || (look.dots && at < 2 * kDirEntrySize)) {
            ++look.entries;
        } else {
            ++look.junk;
        }
    }
    return look;
}

bool continuesDirectory(const DriveInfo& info, Bytes cluster) {
    // Most clusters fail at the first slot, and are passed over at the cost of one entry.
    if (cluster.size() < kDirEntrySize || !plausibleEntry(info, cluster.first(kDirEntrySize))) return false;
    const ClusterLook look = lookAtCluster(info, cluster);
    return !look.dots && look.junk * 4 <= look.entries + look.junk && look.litter == 0;
}

namespace {

// Visits one 32-byte slot; false when the walk is over (`status` says why).
class EntryVisitor {
public:
    EntryVisitor(const DriveInfo& info, const std::function<bool(const DirEntryRef&)>& visit) : info_(info), visit_(visit) {}

    // `checked`: leave out what cannot be an entry.
    bool slot(Bytes e, std::uint32_t sectorIndex, std::uint32_t position, bool dot, bool checked) {
        if (dot) return call(DirEntryRef{e, EntryClass::Directory, std::nullopt, true, sectorIndex, position});
        const EntryClass c = classify(e);
        if (c == EntryClass::End) {
            status = DirWalkStatus::Finished;
            return false;
        }
        if (checked && !plausibleEntry(info_, e)) {
            ++skipped;
            longName_.close();
            return true;
        }
        if (c == EntryClass::LongName) {
            longName_.feed(e);
            return true;
        }
        return call(DirEntryRef{e, c, longName_.take(e), false, sectorIndex, position});
    }

    DirWalkStatus status = DirWalkStatus::Finished;
    std::uint32_t skipped = 0;

private:
    bool call(const DirEntryRef& ref) {
        if (visit_(ref)) return true;
        status = DirWalkStatus::Stopped;
        return false;
    }

    const DriveInfo& info_;
    const std::function<bool(const DirEntryRef&)>& visit_;
    LongNameAssembler longName_;
};

bool startsWithDots(const DriveInfo& info, Bytes head, const DirWalkOptions& options) {
    if (!isDotEntry(head.subspan(0, kDirEntrySize)) || !isDotDotEntry(head.subspan(kDirEntrySize, kDirEntrySize))) return false;
    return !options.selfCluster || firstClusterOfEntry(info, head.subspan(0, kDirEntrySize)) == *options.selfCluster;
}

// A directory whose chain is gone, a cluster at a time: the first, then the clusters the scan
// found to continue it, or else the free clusters after it while each reads as a directory.
DirWalk walkChainless(Volume& volume, const FatTable& fat, std::uint32_t cluster, const DirWalkOptions& options,
                      EntryVisitor& visitor) {
    const DriveInfo& info = volume.info();
    const std::uint32_t bps = info.bytesPerSector, spc = info.sectorsPerCluster;
    const std::uint32_t perCluster = bps * spc / kDirEntrySize;
    const std::uint64_t lastCluster = info.clusterCount + 1;
    std::vector<std::uint8_t> bytes(std::size_t{bps} * spc);

    for (std::uint32_t n = 0, entries = 0; entries < kMaxDirectoryEntries; ++n, entries += perCluster) {
        if (!volume.readSectors(bytes, sectorOfCluster(info, cluster), spc)) return {DirWalkStatus::ReadError, visitor.skipped};
        const Bytes all(bytes);
        const bool checkDots = options.requireDots && n == 0;
        if (checkDots && !startsWithDots(info, all, options)) return {DirWalkStatus::NotADirectory, visitor.skipped};
        // Another directory's start, or what no directory holds, ends a guess.
        if (n > 0 && !options.followers && !continuesDirectory(info, all)) return {DirWalkStatus::Finished, visitor.skipped, true};
        for (std::uint32_t k = 0; k < perCluster; ++k)
            if (!visitor.slot(all.subspan(std::size_t{k} * kDirEntrySize, kDirEntrySize), n * spc + k * kDirEntrySize / bps,
                              k % (bps / kDirEntrySize), checkDots && k < 2, true))
                return {visitor.status, visitor.skipped};

        std::uint64_t next = 0;
        if (options.followers)
            next = n < options.followers->size() ? (*options.followers)[n] : 0;
        else
            next = options.dirFat >= 0 ? fat.nextFree(options.dirFat, cluster) : std::uint64_t{cluster} + 1;
        if (next < 2 || next > lastCluster) break;
        cluster = static_cast<std::uint32_t>(next);
    }
    return {DirWalkStatus::Finished, visitor.skipped};
}

}  // namespace

DirWalk walkDirectory(Volume& volume, const FatTable& fat, std::uint32_t cluster, const DirWalkOptions& options,
                      const std::function<bool(const DirEntryRef&)>& visit) {
    const DriveInfo& info = volume.info();
    const std::uint32_t bps = info.bytesPerSector;
    const std::uint32_t spc = info.sectorsPerCluster;
    if (bps < kDirEntrySize || spc == 0) return {DirWalkStatus::ReadError};
    EntryVisitor visitor(info, visit);

    // A directory holds at most 65536 entries (2 MiB); the fixed root of FAT12/16 as many as the
    // boot sector gives it room for.
    const bool fixedRoot = info.fsType != FsType::Fat32 && cluster == info.rootCluster && info.rootEntries != 0;
    // The root is never lost: read without a FAT, it runs on through the clusters after it.
    const bool chainGone = cluster != info.rootCluster && cluster >= 2 && cluster <= info.clusterCount + 1 &&
                           (options.dirFat < 0 || (fat.usable(cluster) && fat.known(options.dirFat, cluster) &&
                                                   fat.firstClusterFree(options.dirFat, cluster)));
    if (chainGone) return walkChainless(volume, fat, cluster, options, visitor);

    const std::uint32_t maxEntries = fixedRoot ? info.rootEntries : kMaxDirectoryEntries;
    const std::uint32_t maxSectors = maxEntries * kDirEntrySize / bps;
    const std::uint32_t perSector = bps / kDirEntrySize;

    std::vector<std::uint8_t> sector(bps);
    std::uint64_t next = sectorOfCluster(info, cluster);
    std::uint32_t cursor = cluster;

    for (std::uint32_t i = 0; i < maxSectors; ++i) {
        const std::uint64_t current = next;
        if (!volume.readSectors(sector, current, 1)) return {DirWalkStatus::ReadError};

        bool lastSector = false;
        next = current + 1;
        if (options.dirFat >= 0 && fat.usable(cursor) && i % spc == spc - 1) {
            // Where the chosen copy could not be read, the chain goes on as another copy has it;
            // where none could, what follows is not known to be the directory's.
            auto known = fat.nextKnown(options.dirFat, cursor);
            if (!known) return {DirWalkStatus::ReadError};
            cursor = *known;
            if (fat.isEndOfChain(cursor))
                lastSector = true;
            else if (fat.usable(cursor))
                next = sectorOfCluster(info, cursor);
        }

        Bytes bytes(sector);
        const bool checkDots = options.requireDots && i == 0;
        if (checkDots && !startsWithDots(info, bytes, options)) return {DirWalkStatus::NotADirectory};
        // The first two slots are "." and ".." by their place, whatever attributes a damaged
        // entry gives them: the lists tell them from entries merely so named by position.
        for (std::uint32_t k = 0; k < perSector; ++k)
            if (!visitor.slot(bytes.subspan(std::size_t{k} * kDirEntrySize, kDirEntrySize), i, k, checkDots && k < 2, false))
                return {visitor.status};
        if (lastSector) break;
    }
    return {DirWalkStatus::Finished};
}

}  // namespace harrow
