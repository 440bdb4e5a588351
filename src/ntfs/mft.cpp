#include "ntfs/mft.h"

#include <algorithm>

#include "common/strings.h"
#include "common/text.h"
#include "ntfs/inode.h"
#include "ntfs/record.h"

namespace harrow {
namespace {

// Boot sector: cluster of $MFTMirr, which holds a copy of the first four records.
constexpr std::size_t kMirrorCluster = 0x38;

}  // namespace

Mft::Mft(Volume& volume) : volume_(volume) {}
Mft::~Mft() = default;

void Mft::close() {
    inode_.reset();
    copy_.clear();
    label_.clear();
}

bool Mft::useRecordZero(std::uint64_t cluster, bool loadTable) {
    const DriveInfo& info = volume_.info();
    const std::uint32_t recordBytes = info.bytesPerFileRecord, bps = info.bytesPerSector;
    const std::uint64_t spc = info.clusterSectors();
    if (spc == 0 || bps == 0 || cluster > UINT64_MAX / spc / 2) return false;
    std::vector<std::uint8_t> record(recordBytes, 0);
    // What a failed read leaves is zeros, which fail the checks below.
    (void)volume_.readSectors(record, cluster * spc, recordBytes / bps);
    if (!repairFileRecord(record)) return false;
    copy_ = std::move(record);
    if (!loadTable) return true;
    // Record 0 serves when it describes where the table lies.
    inode_ = std::make_unique<CInode>(*this);
    const AttrEntry* data = inode_->loadByNumber(0) ? inode_->find(AT_DATA) : nullptr;
    if (!data || !data->nonResident() || data->runs.empty()) {
        inode_.reset();
        copy_.clear();
        return false;
    }
    return true;
}

bool Mft::open(Bytes bootSector, bool loadTable) {
    close();
    if (!useRecordZero(volume_.info().mftCluster, loadTable)) {
        if (volume_.sourceLost()) return false;
        if (!useRecordZero(le64(bootSector, kMirrorCluster), loadTable)) {
            if (volume_.sourceLost()) return false;
            volume_.prompts().showMessage(msg::kMftUnreadable, messageText(msg::kMftUnreadable));
            return true;
        }
        volume_.prompts().showMessage(msg::kMftFromMirror, messageText(msg::kMftFromMirror), MsgIcon::Information);
    }
    if (!loadTable) return true;
    // The volume's name is the value of $Volume's name attribute.
    CInode volumeRecord(*this);
    if (volumeRecord.loadByNumber(3)) {
        if (const AttrEntry* name = volumeRecord.find(AT_VOLUME_NAME); name && !name->nonResident())
            label_ = utf8FromUtf16le(name->value, DriveInfo::kLabelBytes - 1);
    }
    return !volume_.sourceLost();
}

bool Mft::readRecord(std::uint64_t number, MutableBytes out) {
    const std::uint32_t recordBytes = volume_.info().bytesPerFileRecord;
    if (out.size() < recordBytes || recordBytes == 0) return false;
    if (number == 0) {
        if (copy_.size() < recordBytes) return false;
        std::copy_n(copy_.begin(), recordBytes, out.begin());
        return true;
    }
    if (!inode_) {
        volume_.prompts().showMessage(0, formatText(diag::kCantLoadMftWithoutMft0, static_cast<unsigned>(number)));
        return false;
    }
    if (!readRawRecord(number, out)) return false;
    if (!repairFileRecord(out.first(recordBytes))) {
        volume_.prompts().showMessage(0, diag::kInodeNotFound);
        return false;
    }
    return true;
}

bool Mft::readRawRecord(std::uint64_t number, MutableBytes out) {
    const std::uint32_t recordBytes = volume_.info().bytesPerFileRecord;
    if (!inode_ || recordBytes == 0 || out.size() < recordBytes || number > UINT64_MAX / recordBytes) return false;
    return inode_->read(AT_DATA, std::nullopt, number * recordBytes, out, recordBytes) == recordBytes;
}

std::optional<std::uint64_t> Mft::splitRecordAt(std::uint64_t sector) const {
    if (!inode_) return std::nullopt;
    const DriveInfo& info = volume_.info();
    const AttrEntry* data = inode_->find(AT_DATA);
    const std::uint64_t spc = info.clusterSectors(), bps = info.bytesPerSector, recordBytes = info.bytesPerFileRecord;
    if (!data || !data->nonResident() || data->compressed() || spc == 0 || bps == 0 || recordBytes == 0) return std::nullopt;
    // Sector numbers within the table, and on the volume, of each run.
    const std::uint64_t limit = UINT64_MAX / spc / bps;
    std::uint64_t vcn = 0;
    for (const DataRun& run : data->runs) {
        if (vcn > limit || run.length > limit - vcn) return std::nullopt;
        const auto lcn = static_cast<std::uint64_t>(run.lcn);
        if (!run.sparse && run.lcn >= 0 && lcn <= limit - run.length && sector >= lcn * spc &&
            sector - lcn * spc < run.length * spc) {
            const std::uint64_t into = sector - lcn * spc;
            const std::uint64_t offset = (vcn * spc + into) * bps;
            if (offset % recordBytes != 0 || offset >= data->dataSize()) return std::nullopt;
            // Whole inside this run: readable in one piece.
            if (into + recordBytes / bps <= run.length * spc) return std::nullopt;
            return offset / recordBytes;
        }
        vcn += run.length;
    }
    return std::nullopt;
}

std::uint64_t Mft::sectorOfRecord(std::uint64_t number) const {
    if (!inode_) return 0;
    const DriveInfo& info = volume_.info();
    const AttrEntry* data = inode_->find(AT_DATA);
    const std::uint64_t cs = volume_.bytesPerCluster(), recordBytes = info.bytesPerFileRecord;
    if (!data || !data->nonResident() || data->compressed() || cs == 0) return kNoRecord;
    if (number > UINT64_MAX / recordBytes) return kNoRecord;
    const std::uint64_t offset = number * recordBytes;
    if (offset >= data->dataSize()) return kNoRecord;
    const std::uint64_t cluster = offset / cs;
    std::uint64_t vcn = 0;
    for (const DataRun& run : data->runs) {
        if (cluster < vcn + run.length) {
            if (run.sparse || run.lcn < 0) return kNoRecord;
            return (static_cast<std::uint64_t>(run.lcn) + cluster - vcn) * info.clusterSectors() +
                   (offset - cluster * cs) / info.bytesPerSector;
        }
        vcn += run.length;
    }
    return kNoRecord;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> Mft::extents() const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    const AttrEntry* data = inode_ ? inode_->find(AT_DATA) : nullptr;
    const std::uint64_t spc = volume_.info().clusterSectors();
    if (!data || !data->nonResident() || spc == 0) return out;
    const std::uint64_t limit = UINT64_MAX / spc;
    for (const DataRun& run : data->runs) {
        const auto lcn = static_cast<std::uint64_t>(run.lcn);
        if (run.sparse || run.lcn < 0 || run.length == 0 || lcn > limit || run.length > limit - lcn) continue;
        out.emplace_back(lcn * spc, (lcn + run.length) * spc);
    }
    return out;
}

}  // namespace harrow
