#include "document/drive.h"

#include <algorithm>
#include <vector>

#include "common/bytes.h"
#include "common/strings.h"
#include "exfat/directory.h"
#include "fatfs/boot_sector.h"

namespace harrow {
namespace {

// "5, 9-12": sectors `at` (sorted, from the start of a copy that begins at `first`) as volume
// sectors, runs joined.
std::string sectorRanges(const std::vector<std::uint64_t>& at, std::uint64_t first) {
    std::string text;
    for (std::size_t i = 0; i < at.size();) {
        std::size_t j = i;
        while (j + 1 < at.size() && at[j + 1] == at[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(first + at[i]);
        if (j > i) text += "-" + std::to_string(first + at[j]);
        i = j + 1;
    }
    return text;
}

}  // namespace

CDrive::CDrive(Prompts& prompts, SourceFactory& sources) : Volume(prompts, sources), mft_(*this) {}

CDrive::~CDrive() { close(); }

bool CDrive::open(const std::string& path, DriveKind kind) {
    if (isOpen()) close();
    if (!openSource(path, kind)) return false;
    lock();
    std::vector<std::uint8_t> boot;
    bootSectorUsed_ = 0;
    BootLocation found;
    if (source()->driveInfo()) {
        boot.assign(std::max<std::size_t>(kBootBufferBytes, info().bytesPerSector), 0);
        found.first = readSectors(boot, 0, 1).result();
    } else {
        // The same search the drive table makes for what it lists, read through the volume (in
        // sectors of each size tried) so that a source that goes away is said.
        const auto read = [this](std::uint64_t sector, std::uint32_t sectorSize, MutableBytes out) {
            const std::uint16_t device = info().bytesPerSector;
            info().bytesPerSector = static_cast<std::uint16_t>(sectorSize);
            const ReadResult r = readSectors(out, sector, 1).result();
            info().bytesPerSector = device;
            return r;
        };
        found = locateBootSector(read, info().bytesPerSector, source()->sizeBytes(), boot);
    }
    if (sourceLost()) {  // it has said so already
        close();
        return false;
    }
    if (found.sector != 0) {
        bootSectorUsed_ = found.sector;
        prompts().showMessage(msg::kBackupBootSector,
                              formatMessage(msg::kBackupBootSector, static_cast<unsigned long>(found.sector)),
                              MsgIcon::Information);
    } else if (!source()->driveInfo() && found.first != ReadResult::Done) {
        prompts().showMessage(msg::kCannotReadBootSector, formatMessage(msg::kCannotReadBootSector, devicePath()));
        close();
        return false;
    }
    if (!describe(boot)) {
        close();
        return false;
    }
    return true;
}

bool CDrive::describe(Bytes boot) {
    if (auto carried = source()->driveInfo()) {
        info() = *carried;
    } else if (!parseBootSector(boot)) {  // keeps the label the source gave
        return false;
    }
    // No FAT is known until loadFats reads one.
    fat_ = std::make_shared<const FatTable>(info());
    if (info().isNtfs()) {
        // An image's table is loaded too: its records are listed through it, as far as the
        // saved clusters hold them. Its label is the one its header keeps.
        if (!mft_.open(boot, loadMftOnOpen_)) return false;
        if (kind() != DriveKind::Image && !mft_.label().empty()) info().label = mft_.label();
        return true;
    }
    if (info().isExfat()) {
        exfatSerial_ = le32(boot, 0x64);
        exfatFlags_ = le16(boot, 0x6A);
    }
    if (!source()->driveInfo()) {
        std::string label = info().isExfat() ? exfatLabel() : volumeLabel(boot);
        if (!label.empty()) info().label = label;
    }
    return true;
}

std::string CDrive::exfatLabel() {
    // The label entry sits among the root's first entries, before any file's; the FATs are not
    // read yet, so the root's first cluster is all there is to look in.
    std::vector<std::uint8_t> root;
    exfat::readDirectory(*this, *fat_, kNoFat, {info().rootCluster, info().bytesPerCluster, true}, root);
    return exfat::rootEntries(root).label;
}

void CDrive::loadExfatSystem(FatTable& fat) {
    upcase_ = exfat::UpcaseTable{};
    std::vector<std::uint8_t> root;
    exfat::readDirectory(*this, fat, 0, {info().rootCluster, std::nullopt, false}, root);
    const exfat::RootEntries entries = exfat::rootEntries(root);
    // A bitmap longer than a bit per cluster (rounded to its cluster) is not the volume's.
    const std::uint64_t bitmapMost = (info().clusterCount + 7) / 8 + info().bytesPerCluster;
    if (entries.bitmapCluster)
        if (auto bitmap = exfat::readSystemFile(*this, fat, *entries.bitmapCluster, entries.bitmapBytes, bitmapMost))
            fat.setAllocation(std::move(*bitmap));
    // The table maps at most the 65536 UTF-16 units, compressed or not.
    constexpr std::uint64_t kUpcaseMost = 0x20000;
    if (entries.upcaseCluster)
        if (auto table = exfat::readSystemFile(*this, fat, *entries.upcaseCluster, entries.upcaseBytes, kUpcaseMost))
            upcase_ = exfat::UpcaseTable(*table);
}

bool CDrive::close() {
    if (isOpen()) unlock();
    closeSource();
    mft_.close();
    return true;
}

bool CDrive::parseBootSector(Bytes sector) {
    mft_.close();
    // The source's length bounds what a boot sector may claim; a source of unknown length is
    // taken at the boot sector's word.
    const BootVerdict verdict = harrow::parseBootSector(sector, info());
    if (verdict == BootVerdict::Unrecognised || !fitToSource(info(), source()->sizeBytes())) {
        prompts().showMessage(msg::kUnknownFormat, messageText(msg::kUnknownFormat));
        return false;
    }
    return true;
}

std::uint64_t CDrive::sectorOfCluster(std::uint32_t c) const { return harrow::sectorOfCluster(info(), c); }

std::uint32_t CDrive::firstCluster(Bytes entry) const { return firstClusterOfEntry(info(), entry); }

std::string CDrive::volumeLabel(Bytes bootSector) {
    const DriveInfo& d = info();
    // The label entry of the root directory is the one the file system itself keeps current;
    // the boot sector's copy is often stale. Look through the root's first cluster (FAT32) or
    // its fixed area, at most 32 sectors.
    std::uint32_t sectors = d.fsType == FsType::Fat32
                                ? d.sectorsPerCluster
                                : static_cast<std::uint32_t>(std::uint64_t{d.rootEntries} * 32 / d.bytesPerSector);
    sectors = std::min<std::uint32_t>(sectors, 32);
    std::vector<std::uint8_t> buf(d.bytesPerSector);
    const std::uint64_t first = sectorOfCluster(d.fsType == FsType::Fat32 ? d.rootCluster : 0);
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (!readSectors(buf, first + s, 1)) break;
        for (std::size_t off = 0; off + 32 <= buf.size(); off += 32) {
            const std::uint8_t b0 = buf[off], attr = buf[off + 11];
            if (b0 == 0) return bootSectorLabel(bootSector, d);
            if (b0 != 0xE5 && attr != 0x0F && (attr & 0x08) && !(attr & 0x10))
                return fatLabelText(Bytes(buf).subspan(off, 11));
        }
    }
    return bootSectorLabel(bootSector, d);
}

bool CDrive::loadFats() {
    FatTable fat(info());
    fat_ = std::make_shared<const FatTable>(fat);
    if (info().isNtfs() || !isOpen()) return false;
    const std::uint64_t bytes = fat.totalBytes();
    // A boot sector may claim FATs larger than the volume; the read would fail anyway, so do
    // not allocate for it.
    const auto size = source()->sizeBytes();
    if (bytes == 0 || (size && bytes > *size)) return false;
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(bytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Each copy on its own: one that cannot be read in places keeps every sector that can, and
    // the others stand whole beside it.
    const std::uint64_t kept = fat.bytesPerCopy();
    std::vector<std::vector<std::uint64_t>> unreadable(static_cast<std::size_t>(fat.copies()));
    for (int i = 0; i < fat.copies(); ++i) {
        MutableBytes copy = MutableBytes(data).subspan(static_cast<std::size_t>(i * kept), static_cast<std::size_t>(kept));
        readFatCopy(copy, info().fatStartSector() + std::uint64_t(i) * info().sectorsPerFat, unreadable[static_cast<std::size_t>(i)]);
    }
    fat.setData(std::move(data));
    bool whole = true;
    for (int i = 0; i < fat.copies(); ++i) {
        const auto& bad = unreadable[static_cast<std::size_t>(i)];
        if (bad.empty()) continue;
        whole = false;
        for (std::uint64_t s : bad) fat.markUnknown(i, s);
        if (sourceLost()) continue;  // said already
        const std::uint64_t first = info().fatStartSector() + std::uint64_t(i) * info().sectorsPerFat;
        prompts().showMessage(msg::kFatSectorsUnreadable,
                              formatMessage(msg::kFatSectorsUnreadable, i + 1, sectorRanges(bad, first)));
    }
    if (info().isExfat()) loadExfatSystem(fat);
    fat_ = std::make_shared<const FatTable>(std::move(fat));
    return whole;
}

void CDrive::readFatCopy(MutableBytes copy, std::uint64_t first, std::vector<std::uint64_t>& unreadable) {
    const std::uint32_t bps = info().bytesPerSector;
    const std::uint64_t sectors = copy.size() / bps;
    if (readSectors(copy, first, static_cast<std::uint32_t>(sectors))) return;
    // Again in pieces, and a failing piece a sector at a time, so that a bad sector costs the
    // table that sector alone.
    constexpr std::uint64_t kPiece = 64;
    for (std::uint64_t at = 0; at < sectors; at += kPiece) {
        const std::uint64_t n = std::min(kPiece, sectors - at);
        auto piece = [&](std::uint64_t s, std::uint64_t count) {
            return copy.subspan(static_cast<std::size_t>(s * bps), static_cast<std::size_t>(count * bps));
        };
        if (!sourceLost() && readSectors(piece(at, n), first + at, static_cast<std::uint32_t>(n))) continue;
        for (std::uint64_t s = at; s < at + n; ++s) {
            if (sourceLost() || !readSectors(piece(s, 1), first + s, 1)) {
                std::fill(piece(s, 1).begin(), piece(s, 1).end(), 0);
                unreadable.push_back(s);
            }
        }
    }
}

}  // namespace harrow
