// CDrive: a volume with what its file system keeps in memory while it is read: the FAT copies,
// or the way to the MFT. Items are read through a FileReader made on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/prompts.h"
#include "exfat/entry_set.h"
#include "fatfs/fat_table.h"
#include "ntfs/mft.h"
#include "volume/source_factory.h"
#include "volume/volume.h"

namespace harrow {

class CDrive : public Volume {
public:
    explicit CDrive(Prompts& prompts, SourceFactory& sources = SystemSources::global());
    ~CDrive() override;

    // Opens a root path "X:\" (a letter of the drive table) or, for a local drive, a device or
    // file path directly. The volume is described by its source where the source carries a
    // description, else by its boot sector. Closes first if open.
    bool open(const std::string& path, DriveKind kind);
    bool close();

    // The sector the volume was described by: 0, or the backup boot sector's when the first
    // was unreadable or unrecognised (FAT32: sector 6 or the one its BPB names; NTFS: the last
    // sector of the volume), counted in sectors of the size the volume gives.
    std::uint64_t bootSectorUsed() const { return bootSectorUsed_; }

    std::uint64_t sectorOfCluster(std::uint32_t c) const;
    std::uint32_t firstCluster(Bytes entry) const;

    // Reads every FAT copy. A sector of a copy that cannot be read leaves its entries unknown
    // (never free) and is said, once per load; false then, and when there is no table at all.
    // The copies stay in memory while the drive is closed. On exFAT the allocation bitmap and
    // the up-case table are read with them, from the entries of the root.
    bool loadFats();
    const FatTable& fat() const { return *fat_; }
    // The tables as they stand, for a reader that may outlive the next load (a list's rows).
    std::shared_ptr<const FatTable> sharedFat() const { return fat_; }

    // exFAT: the serial number and the volume flags of the boot sector the volume was described
    // by (bit 0: the second FAT is the active one; 1: the volume was not cleanly unmounted; 2:
    // the driver met media failures).
    std::uint32_t exfatSerial() const { return exfatSerial_; }
    std::uint16_t exfatFlags() const { return exfatFlags_; }

    // exFAT: how names compare; every character is its own upper case until loadFats reads the
    // volume's table.
    const exfat::UpcaseTable& upcase() const { return upcase_; }

    // NTFS: the way to file records.
    Mft& mft() { return mft_; }
    bool hasMft() const { return mft_.loaded(); }
    std::uint64_t sectorOfRecord(std::uint64_t number) const { return mft_.sectorOfRecord(number); }
    // Whether an NTFS open loads the MFT (drives opened only to query a volume need not).
    void setLoadMftOnOpen(bool load) { loadMftOnOpen_ = load; }

private:
    bool describe(Bytes bootSector);
    // Describes the volume by `sector` (sector 0); says why when it cannot.
    bool parseBootSector(Bytes sector);
    std::string volumeLabel(Bytes bootSector);
    // Reads one FAT copy that begins at sector `first`, noting the sectors (from its start) that
    // could not be read.
    void readFatCopy(MutableBytes copy, std::uint64_t first, std::vector<std::uint64_t>& unreadable);

    // exFAT: the root's own entries, read with the FATs.
    void loadExfatSystem(FatTable& fat);
    std::string exfatLabel();

    std::shared_ptr<const FatTable> fat_ = std::make_shared<const FatTable>();
    exfat::UpcaseTable upcase_;
    std::uint32_t exfatSerial_ = 0;
    std::uint16_t exfatFlags_ = 0;
    Mft mft_;
    std::uint64_t bootSectorUsed_ = 0;
    bool loadMftOnOpen_ = true;
};

}  // namespace harrow
