#include "remote/remote_source.h"

#include <bit>
#include <vector>

#include "fatfs/boot_sector.h"

namespace harrow::remote {
namespace {

// The sector sizes the boot-sector parse accepts; a server that names another is not describing
// a volume harrow can read.
bool plausibleSectorSize(std::uint32_t bps) { return bps >= 128 && bps <= 4096 && std::has_single_bit(bps); }

}  // namespace

RemoteSource::RemoteSource(ClientConnection& connection, std::uint32_t sectorSize, std::optional<DriveInfo> described)
    : connection_(connection),
      generation_(connection.driveGeneration()),
      sectorSize_(sectorSize),
      described_(std::move(described)) {}

RemoteSource::~RemoteSource() {
    if (current()) connection_.closeDrive();
}

ReadResult RemoteSource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    if (!current()) {
        std::ranges::fill(out, 0);
        return ReadResult::Lost;
    }
    // The caller counts in the volume's sectors, the server in its own; both are powers of two.
    if (sectorSize == 0 || first > UINT64_MAX / sectorSize / 2 || (first * sectorSize) % sectorSize_ != 0) {
        std::ranges::fill(out, 0);
        return ReadResult::Unreadable;
    }
    return connection_.readSectors(first * sectorSize / sectorSize_, sectorSize_, out);
}

void RemoteSource::willRead(std::span<const SectorExtent> extents, std::uint32_t sectorSize) {
    if (!current() || sectorSize == 0) return;
    // Into the server's sectors: whole ones, the first holding the extent's start.
    std::vector<SectorExtent> own;
    own.reserve(std::min(extents.size(), ClientConnection::kMaxPlanExtents));
    for (const SectorExtent& e : extents) {
        if (own.size() == ClientConnection::kMaxPlanExtents) break;
        if (e.count == 0 || e.first > UINT64_MAX / sectorSize / 2 || e.count > UINT64_MAX / sectorSize / 2 - e.first) break;
        const std::uint64_t begin = e.first * sectorSize / sectorSize_;
        const std::uint64_t end = ((e.first + e.count) * sectorSize + sectorSize_ - 1) / sectorSize_;
        own.push_back({begin, end - begin});
    }
    connection_.planReads(own, sectorSize_);
}

RemoteSources::RemoteSources(Prompts& prompts, SourceFactory& local) : connection_(prompts), local_(local) {}

OpenedSource RemoteSources::open(const std::string& path, DriveKind kind) {
    if (kind != DriveKind::Remote) return local_.open(path, kind);
    if (!connection_.connected()) return failed(msg::kCannotOpenDrive);
    auto carried = connection_.openDrive(path);
    if (!carried || !plausibleSectorSize(carried->bytesPerSector)) {
        if (carried && connection_.connected()) connection_.closeDrive();
        return failed(msg::kCannotOpenDrive);
    }
    // The server's record gives the label; the geometry is taken from the boot sector here, by
    // the same parse a local volume gets, so that nothing the server says unchecked sizes a
    // read. A boot sector it does not recognise leaves the volume to be described (and refused)
    // by the drive.
    std::optional<DriveInfo> described;
    std::vector<std::uint8_t> boot(carried->bytesPerSector);
    if (connection_.readSectors(0, carried->bytesPerSector, boot) == ReadResult::Done) {
        DriveInfo parsed = *carried;
        const BootVerdict verdict = parseBootSector(boot, parsed);
        if (verdict != BootVerdict::Unrecognised) described = parsed;
    }
    OpenedSource opened;
    opened.source = std::make_unique<RemoteSource>(connection_, carried->bytesPerSector, std::move(described));
    opened.devicePath = serverName_ + "/" + path.substr(0, 1);
    opened.label = carried->label;
    return opened;
}

}  // namespace harrow::remote
