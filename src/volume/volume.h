// An opened source read in sectors of the volume's own size, with the description of the volume
// (DriveInfo). Everything above reads the volume through here: the FAT and NTFS readers, the
// scan, saving, and the server.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/bytes.h"
#include "common/prompts.h"
#include "volume/drive_info.h"
#include "volume/source_factory.h"

namespace harrow {

// What a read came to; true only when every sector arrived.
class [[nodiscard]] ReadStatus {
public:
    constexpr ReadStatus(ReadResult r) : result_(r) {}
    constexpr explicit operator bool() const { return result_ == ReadResult::Done; }
    constexpr bool lost() const { return result_ == ReadResult::Lost; }
    constexpr ReadResult result() const { return result_; }

private:
    ReadResult result_;
};

class Volume {
public:
    Volume(Prompts& prompts, SourceFactory& sources) : prompts_(prompts), sources_(sources) {}
    virtual ~Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Lock and unlock succeed on an open volume and do nothing: a read-only reader needs no lock.
    bool lock() { return isOpen(); }
    bool unlock() { return isOpen(); }
    bool isOpen() const { return source_ != nullptr; }

    // Reads `count` sectors of the volume's sector size into the start of `buf`. Once the source
    // is lost every read fails at once; the loss is said once per open.
    ReadStatus readSectors(MutableBytes buf, std::uint64_t first, std::uint32_t count);
    // The volume is never written to.
    bool writeSectors(Bytes, std::uint64_t, std::uint32_t) { return false; }
    // Reads the sectors holding `byteCount` bytes at `byteOffset` into absolute cluster `cluster`
    // (counted from sector 0).
    ReadStatus readAtCluster(std::uint64_t cluster, std::uint64_t byteOffset, std::uint32_t byteCount, MutableBytes buf);

    // Tells the source which sectors the reads to come will go through, in that order: one far
    // away asks for them before they are wanted.
    void willRead(std::span<const SectorExtent> extents) {
        if (source_ && !lost_) source_->willRead(extents, info_.bytesPerSector);
    }
    // Whether the source holds those sectors at all (an image file holds part of its volume).
    bool holdsSectors(std::uint64_t first, std::uint64_t count) const { return !source_ || source_->holds(first, count); }

    // Set by a read that failed, cleared by one that succeeded.
    bool readFailed() const { return readFailed_; }
    // The source went away during this open: whatever is under way should end now.
    bool sourceLost() const { return lost_; }

    DriveKind kind() const { return kind_; }
    std::uint8_t driveNumber() const { return driveNumber_; }
    const std::string& devicePath() const { return devicePath_; }
    DriveInfo& info() { return info_; }
    const DriveInfo& info() const { return info_; }
    std::uint32_t bytesPerCluster() const { return std::uint32_t{info_.bytesPerSector} * info_.clusterSectors(); }
    Prompts& prompts() { return prompts_; }
    SectorSource* source() { return source_.get(); }

protected:
    // Opens the source of `path`; says why on failure. The label of the volume and the sector
    // size of the first read come from the source.
    bool openSource(const std::string& path, DriveKind kind);
    void closeSource();

private:
    Prompts& prompts_;
    SourceFactory& sources_;
    std::unique_ptr<SectorSource> source_;
    bool readFailed_ = false;
    bool lost_ = false;
    DriveKind kind_ = DriveKind::None;
    std::uint8_t driveNumber_ = 0;
    std::string devicePath_;
    DriveInfo info_;
};

}  // namespace harrow
