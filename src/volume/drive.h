// CDrive: the one object through which every sector of a volume is read, whatever the source.
// It also holds what the boot sector says (DriveInfo), the FAT copies, and the state of the
// file being read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/prompts.h"
#include "fatfs/drive_info.h"
#include "fatfs/fat_table.h"
#include "fatfs/file_item.h"
#include "volume/drive_table.h"
#include "volume/sector_source.h"

namespace harrow {

class CInode;

enum class DriveKind : int { None = 0, Local = 1, Image = 3, Remote = 4 };

class CDrive {
public:
    explicit CDrive(Prompts& prompts, DriveTable& table = DriveTable::global());
    virtual ~CDrive();
    CDrive(const CDrive&) = delete;
    CDrive& operator=(const CDrive&) = delete;

    // Lock and unlock succeed on an open drive and do nothing: a read-only reader needs no lock.
    bool lock();
    bool unlock();
    // Opens a root path "X:\" (a letter of the drive table) or, for a local drive, a device or
    // file path directly; reads and parses the boot sector. Closes first if open.
    bool open(const std::string& path, DriveKind kind);
    bool close();
    bool isOpen() const { return source_ != nullptr; }

    // Reads `count` sectors of the volume's sector size into the start of `buf`.
    bool readSectors(MutableBytes buf, std::uint64_t first, std::uint32_t count);
    // The drive never writes to the volume it reads.
    bool writeSectors(Bytes buf, std::uint64_t first, std::uint32_t count);
    // Reads the sectors holding `byteCount` bytes at `byteOffset` into absolute cluster `cluster`
    // (counted from sector 0).
    bool readAtCluster(std::uint64_t cluster, std::uint64_t byteOffset, std::uint32_t byteCount, MutableBytes buf);

    bool readFailed() const { return readFailed_; }
    DriveKind kind() const { return kind_; }
    std::uint8_t driveNumber() const { return driveNumber_; }
    const std::string& devicePath() const { return devicePath_; }
    DriveInfo& info() { return info_; }
    const DriveInfo& info() const { return info_; }
    Prompts& prompts() { return prompts_; }

    bool parseBootSector(Bytes sector);
    std::uint64_t sectorOfCluster(std::uint32_t c) const;
    std::uint32_t firstCluster(Bytes entry) const;
    std::uint32_t bytesPerCluster() const { return std::uint32_t{info_.bytesPerSector} * info_.clusterSectors(); }

    // NTFS: reads record `number` (repaired) through the MFT into `out`; record 0 comes from the
    // copy made at open.
    bool readRecord(std::uint64_t number, MutableBytes out);
    // NTFS: the absolute sector where record `number` begins; 0 without an MFT, all bits set when
    // the MFT does not map it.
    std::uint64_t sectorOfRecord(std::uint64_t number) const;
    bool hasMft() const { return mftInode_ != nullptr; }
    // Whether an NTFS open loads the MFT (drives opened only to query a volume need not).
    void setLoadMftOnOpen(bool load) { loadMftOnOpen_ = load; }

    // Reads every FAT copy in one request. The copies stay in memory while the drive is closed.
    bool loadFats();
    const FatTable& fat() const { return fat_; }

    // Reading a file's bytes: begin, any number of reads and checks, end. A FAT file is read
    // along its chain in `fat`; a deleted one whose first cluster is free along the free
    // clusters after it; with kNoFat as contiguous clusters.
    bool beginRead(const FileItem& item, FatIndex fat);
    // Reads the sectors holding `count` bytes at `offset` of the current file into `buf`, which
    // must hold them whole.
    bool read(MutableBytes buf, std::uint64_t offset, std::uint32_t count);
    bool endRead();
    const FileItem& currentItem() const { return readItem_; }
    FatIndex currentFat() const { return readFat_; }

private:
    bool openNtfs();
    bool openLocal(const std::string& path);
    bool finishOpen();
    std::string volumeLabel(Bytes bootSector);
    bool readFatCluster(std::uint32_t cluster, std::uint32_t sectorInCluster, std::uint32_t sectors, MutableBytes out);

    Prompts& prompts_;
    DriveTable& table_;
    std::unique_ptr<SectorSource> source_;
    bool readFailed_ = false;
    DriveKind kind_ = DriveKind::None;
    std::uint8_t driveNumber_ = 0;
    std::string devicePath_;
    DriveInfo info_;
    FatTable fat_;

    std::vector<std::uint8_t> mftCopy_;   // the first records of the MFT, as read at open
    std::unique_ptr<CInode> mftInode_;    // record 0: the way to every other record
    std::unique_ptr<CInode> fileInode_;   // the NTFS file being read
    bool loadMftOnOpen_ = true;

    // The file being read, and where the last read stopped along its clusters, so that a file
    // read block by block is not walked again from its first cluster at every block.
    FileItem readItem_;
    FatIndex readFat_ = 0;
    std::uint64_t readStartSector_ = 0;
    bool readGuess_ = false;
    std::uint32_t cursorIndex_ = 0;
    std::uint32_t cursorCluster_ = 0;
    bool cursorValid_ = false;
};

}  // namespace harrow
