#include "volume/drive.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/strings.h"
#include "common/text.h"
#include "fatfs/boot_sector.h"
#include "ntfs/inode.h"
#include "volume/local_source.h"
#include "volume/memory_source.h"

namespace harrow {
namespace {

// The boot sector is read into a buffer this large whatever the device's sector size.
constexpr std::size_t kBootBufferBytes = 4112;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

CDrive::CDrive(Prompts& prompts, DriveTable& table)
    : prompts_(prompts), table_(table), fileInode_(std::make_unique<CInode>(*this)) {}

CDrive::~CDrive() { close(); }

bool CDrive::lock() { return isOpen(); }
bool CDrive::unlock() { return isOpen(); }

bool CDrive::open(const std::string& path, DriveKind kind) {
    if (isOpen()) close();
    kind_ = kind;
    switch (kind) {
        case DriveKind::Local:
            return openLocal(path);
        case DriveKind::Image:
        case DriveKind::Remote:
        default:
            // Image files and remote volumes have no source on this build yet.
            prompts_.showMessage(msg::kCannotOpenDrive, messageText(msg::kCannotOpenDrive));
            return false;
    }
}

bool CDrive::openLocal(const std::string& path) {
    std::string device = path;
    std::uint64_t offset = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> memory;
    info_.label.clear();
    if (auto letter = letterOfRootPath(path)) {
        const DriveEntry* entry = table_.find(*letter);
        if (!entry) {
            prompts_.showMessage(msg::kCannotOpenDrive, messageText(msg::kCannotOpenDrive));
            return false;
        }
        device = entry->path;
        offset = entry->offset;
        memory = entry->memory;
        info_.label = entry->label;
        driveNumber_ = static_cast<std::uint8_t>(*letter - 64);
    } else {
        driveNumber_ = 0;
    }

    if (memory) {
        source_ = std::make_unique<MemorySource>(memory);
    } else {
        source_ = LocalSource::open(device, offset);
        if (!source_) {
            int id = (errno == EACCES || errno == EPERM) ? msg::kCannotOpenDriveAdmin : msg::kCannotOpenDrive;
            prompts_.showMessage(id, messageText(id));
            return false;
        }
    }
    devicePath_ = device;
    lock();
    // The first read is sized by the device until the boot sector says otherwise.
    info_.bytesPerSector = static_cast<std::uint16_t>(source_->deviceSectorSize());
    info_.sectorsPerCluster = 1;
    return finishOpen();
}

bool CDrive::finishOpen() {
    std::vector<std::uint8_t> boot(std::max<std::size_t>(kBootBufferBytes, info_.bytesPerSector));
    if (!readSectors(boot, 0, 1) || !parseBootSector(boot)) {
        close();
        return false;
    }
    std::string label = volumeLabel(boot);
    if (!label.empty()) info_.label = label;
    return true;
}

bool CDrive::close() {
    if (isOpen()) unlock();
    source_.reset();
    mftInode_.reset();
    mftCopy_.clear();
    return true;
}

bool CDrive::readSectors(MutableBytes buf, std::uint64_t first, std::uint32_t count) {
    readFailed_ = true;
    if (!source_) return false;
    switch (kind_) {
        case DriveKind::Local:
        case DriveKind::Image:
        case DriveKind::Remote: break;
        default: return false;
    }
    std::uint64_t bytes = std::uint64_t{count} * info_.bytesPerSector;
    if (bytes > buf.size()) return false;
    if (!source_->read(first, info_.bytesPerSector, buf.first(static_cast<std::size_t>(bytes)))) return false;
    readFailed_ = false;
    return true;
}

bool CDrive::writeSectors(Bytes, std::uint64_t, std::uint32_t) { return false; }

bool CDrive::readAtCluster(std::uint64_t cluster, std::uint64_t byteOffset, std::uint32_t byteCount, MutableBytes buf) {
    const std::uint64_t bps = info_.bytesPerSector;
    const std::uint64_t spc = info_.clusterSectors();
    if (bps == 0 || (spc != 0 && cluster > UINT64_MAX / spc / 2)) {
        readFailed_ = true;
        return false;
    }
    std::uint64_t sector = cluster * spc + byteOffset / bps;
    return readSectors(buf, sector, static_cast<std::uint32_t>(ceilDiv(byteCount, bps)));
}

bool CDrive::parseBootSector(Bytes sector) {
    mftInode_.reset();
    mftCopy_.clear();
    BootVerdict verdict = harrow::parseBootSector(sector, info_);
    if (verdict == BootVerdict::Unrecognised) {
        prompts_.showMessage(msg::kUnknownFormat, messageText(msg::kUnknownFormat));
        return false;
    }
    if (verdict == BootVerdict::Ntfs) {
        fat_ = FatTable(info_);
        return openNtfs();
    }
    FatTable geometry(info_);
    if (!fat_.sameGeometry(geometry)) fat_ = std::move(geometry);
    return true;
}

std::uint64_t CDrive::sectorOfCluster(std::uint32_t c) const { return harrow::sectorOfCluster(info_, c); }

std::uint32_t CDrive::firstCluster(Bytes entry) const { return firstClusterOfEntry(info_, entry); }

std::string CDrive::volumeLabel(Bytes bootSector) {
    if (info_.isNtfs()) return {};
    // The label entry of the root directory is the one the file system itself keeps current;
    // the boot sector's copy is often stale. Look through the root's first cluster (FAT32) or
    // its fixed area, at most 32 sectors.
    std::uint32_t sectors = info_.fsType == FsType::Fat32
                                ? info_.sectorsPerCluster
                                : static_cast<std::uint32_t>(std::uint64_t{info_.rootEntries} * 32 / info_.bytesPerSector);
    sectors = std::min<std::uint32_t>(sectors, 32);
    std::vector<std::uint8_t> buf(info_.bytesPerSector);
    std::uint64_t first = sectorOfCluster(info_.fsType == FsType::Fat32 ? info_.rootCluster : 0);
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (!readSectors(buf, first + s, 1)) break;
        for (std::size_t off = 0; off + 32 <= buf.size(); off += 32) {
            std::uint8_t b0 = buf[off], attr = buf[off + 11];
            if (b0 == 0) return bootSectorLabel(bootSector, info_);
            if (b0 != 0xE5 && attr != 0x0F && (attr & ATTR_VOLUME) && !(attr & ATTR_DIRECTORY)) {
                return fatLabelText(Bytes(buf).subspan(off, 11));
            }
        }
    }
    return bootSectorLabel(bootSector, info_);
}

bool CDrive::loadFats() {
    fat_ = FatTable(info_);
    if (info_.isNtfs() || !isOpen()) return false;
    std::uint64_t bytes = fat_.totalBytes();
    // A boot sector may claim FATs larger than the volume; the read would fail anyway, so do
    // not allocate for it.
    auto size = source_->sizeBytes();
    if (bytes == 0 || (size && bytes > *size)) return false;
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(bytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::uint32_t sectors = static_cast<std::uint32_t>(bytes / info_.bytesPerSector);
    if (!readSectors(data, info_.reservedSectors, sectors)) return false;
    fat_.setData(std::move(data));
    return true;
}

bool CDrive::openNtfs() {
    const std::uint32_t recordBytes = info_.bytesPerFileRecord;
    const std::uint32_t bps = info_.bytesPerSector;
    constexpr std::uint32_t kCopiedRecords = 10;
    mftCopy_.assign(std::size_t{kCopiedRecords} * recordBytes, 0);
    const std::uint64_t spc = info_.clusterSectors();
    if (info_.mftCluster > UINT64_MAX / spc / 2) return false;
    readSectors(mftCopy_, info_.mftCluster * spc, static_cast<std::uint32_t>((mftCopy_.size() + bps - 1) / bps));
    if (!repairFileRecord(MutableBytes(mftCopy_).first(recordBytes), bps)) return false;
    if (kind_ == DriveKind::Image || !loadMftOnOpen_) return true;

    mftInode_ = std::make_unique<CInode>(*this);
    if (!mftInode_->loadByNumber(0)) {
        mftInode_.reset();
        prompts_.showMessage(0, diag::kProblemLoadingMft);
        return true;
    }
    // The volume's name is the value of $Volume's name attribute.
    CInode volume(*this);
    if (volume.loadByNumber(3)) {
        if (const AttrEntry* name = volume.find(AT_VOLUME_NAME); name && !name->nonResident())
            info_.label = utf8FromUtf16le(name->value, DriveInfo::kLabelBytes - 1);
    }
    return true;
}

bool CDrive::readRecord(std::uint64_t number, MutableBytes out) {
    const std::uint32_t recordBytes = info_.bytesPerFileRecord;
    if (out.size() < recordBytes || recordBytes == 0) return false;
    if (number == 0) {
        if (mftCopy_.size() < recordBytes) return false;
        std::copy_n(mftCopy_.begin(), recordBytes, out.begin());
        return true;
    }
    if (!mftInode_) {
        prompts_.showMessage(0, formatText(diag::kCantLoadMftWithoutMft0, static_cast<unsigned>(number)));
        return false;
    }
    if (number > UINT64_MAX / recordBytes) return false;
    if (mftInode_->read(AT_DATA, std::nullopt, number * recordBytes, out, recordBytes) == 0) return false;
    if (!repairFileRecord(out.first(recordBytes), info_.bytesPerSector)) {
        prompts_.showMessage(0, diag::kInodeNotFound);
        return false;
    }
    return true;
}

std::uint64_t CDrive::sectorOfRecord(std::uint64_t number) const {
    if (!mftInode_) return 0;
    const AttrEntry* data = mftInode_->find(AT_DATA);
    const std::uint64_t cs = bytesPerCluster(), recordBytes = info_.bytesPerFileRecord;
    if (!data || !data->nonResident() || data->compressed() || cs == 0) return kNoRecord;
    if (number > UINT64_MAX / recordBytes) return kNoRecord;
    const std::uint64_t offset = number * recordBytes;
    if (offset >= data->dataSize()) return kNoRecord;
    const std::uint64_t cluster = offset / cs;
    std::uint64_t vcn = 0;
    for (const DataRun& run : data->runs) {
        if (cluster < vcn + run.length) {
            if (run.sparse || run.lcn < 0) return kNoRecord;
            return (static_cast<std::uint64_t>(run.lcn) + cluster - vcn) * info_.clusterSectors() +
                   (offset - cluster * cs) / info_.bytesPerSector;
        }
        vcn += run.length;
    }
    return kNoRecord;
}

bool CDrive::beginRead(const FileItem& item, FatIndex fat) {
    readItem_ = item;
    readFat_ = fat;
    cursorValid_ = false;
    if (info_.isNtfs()) {
        // NTFS files are read through their file record, found by its sector.
        readStartSector_ = item.cluster;
        return fileInode_->loadBySector(item.cluster);
    }
    readStartSector_ = sectorOfCluster(item.firstCluster());
    readGuess_ = fat != kNoFat && fat_.firstClusterFree(fat, item.firstCluster());
    return true;
}

bool CDrive::endRead() {
    cursorValid_ = false;
    if (info_.isNtfs()) fileInode_->reset();
    return true;
}

bool CDrive::readFatCluster(std::uint32_t cluster, std::uint32_t sectorInCluster, std::uint32_t sectors, MutableBytes out) {
    return readSectors(out, sectorOfCluster(cluster) + sectorInCluster, sectors);
}

bool CDrive::read(MutableBytes buf, std::uint64_t offset, std::uint32_t count) {
    if (info_.isNtfs()) return fileInode_->read(AT_DATA, std::nullopt, offset, buf, count) > 0;
    const std::uint32_t bps = info_.bytesPerSector;
    const std::uint32_t spc = info_.sectorsPerCluster;
    if (bps == 0 || spc == 0) return false;
    std::uint64_t f = ceilDiv(count, bps);
    if (f * bps > buf.size()) return false;

    if (readFat_ == kNoFat)
        return readSectors(buf, readStartSector_ + offset / bps, static_cast<std::uint32_t>(f));

    const std::uint64_t k = offset / bps;
    if (k / spc > UINT32_MAX) return false;
    const std::uint32_t q = static_cast<std::uint32_t>(k / spc);
    const std::uint32_t r = static_cast<std::uint32_t>(k % spc);

    // Cluster q of the file, continuing from the last read where it lies at or before q.
    std::uint32_t g, from = 0;
    if (cursorValid_ && cursorIndex_ <= q) {
        g = cursorCluster_;
        from = cursorIndex_;
    } else {
        g = readItem_.firstCluster();
    }
    if (readGuess_) {
        for (std::uint32_t i = from; i < q; ++i) g = fat_.nextFree(readFat_, g);
    } else {
        g = fat_.walk(readFat_, g, q - from);
        if (g == 0) return false;
    }
    cursorIndex_ = q;
    cursorCluster_ = g;
    cursorValid_ = true;

    auto advance = [&](std::uint32_t c) { return readGuess_ ? fat_.nextFree(readFat_, c) : fat_.next(readFat_, c); };
    std::size_t done = 0;
    if (r != 0) {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(spc - r, f));
        if (!readFatCluster(g, r, n, buf.subspan(done))) return false;
        done += std::size_t{n} * bps;
        f -= n;
        g = advance(g);
    }
    while (f > 0) {
        if (!readGuess_) {
            // A chain that ends early leaves the rest of the buffer as it was.
            if (fat_.isEndOfChain(g)) return true;
            if (!fat_.usable(g)) return false;
        }
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(spc, f));
        if (!readFatCluster(g, 0, n, buf.subspan(done))) return false;
        done += std::size_t{n} * bps;
        f -= n;
        g = advance(g);
    }
    return true;
}

}  // namespace harrow
