#include "volume/volume.h"

namespace harrow {
namespace {

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

bool Volume::openSource(const std::string& path, DriveKind kind) {
    closeSource();
    kind_ = kind;
    OpenedSource opened = sources_.open(path, kind);
    if (!opened.source) {
        prompts_.showMessage(opened.failure, opened.failureText());
        return false;
    }
    source_ = std::move(opened.source);
    kind_ = opened.kind.value_or(kind);
    devicePath_ = std::move(opened.devicePath);
    info_.label = std::move(opened.label);
    const auto letter = letterOfRootPath(path);
    driveNumber_ = letter ? static_cast<std::uint8_t>(*letter - 64) : 0;
    lost_ = false;
    // The first read is sized by the device until the boot sector says otherwise.
    info_.bytesPerSector = static_cast<std::uint16_t>(source_->deviceSectorSize());
    info_.sectorsPerCluster = 1;
    return true;
}

void Volume::closeSource() { source_.reset(); }

ReadStatus Volume::readSectors(MutableBytes buf, std::uint64_t first, std::uint32_t count) {
    readFailed_ = true;
    if (lost_) return ReadResult::Lost;
    if (!source_) return ReadResult::Unreadable;
    const std::uint64_t bytes = std::uint64_t{count} * info_.bytesPerSector;
    if (bytes > buf.size()) return ReadResult::Unreadable;
    const ReadResult r = source_->read(first, info_.bytesPerSector, buf.first(static_cast<std::size_t>(bytes)));
    if (r == ReadResult::Lost) {
        lost_ = true;
        prompts_.showMessage(msg::kSourceLost, formatMessage(msg::kSourceLost, devicePath_));
    }
    if (r != ReadResult::Done) return r;
    readFailed_ = false;
    return r;
}

ReadStatus Volume::readAtCluster(std::uint64_t cluster, std::uint64_t byteOffset, std::uint32_t byteCount, MutableBytes buf) {
    const std::uint64_t bps = info_.bytesPerSector;
    const std::uint64_t spc = info_.clusterSectors();
    if (bps == 0 || (spc != 0 && cluster > UINT64_MAX / spc / 2)) {
        readFailed_ = true;
        return ReadResult::Unreadable;
    }
    const std::uint64_t sector = cluster * spc + byteOffset / bps;
    return readSectors(buf, sector, static_cast<std::uint32_t>(ceilDiv(byteCount, bps)));
}

}  // namespace harrow
