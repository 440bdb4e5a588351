// Save clusters: a range of clusters of a volume, with its boot sector and system area, written
// into an image file (volume/image_file.h) that opens again as the volume, here or elsewhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/prompts.h"
#include "volume/drive_info.h"

namespace harrow {

class CDrive;

struct ClusterRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// The clusters a range may take. FAT: the data clusters, 2 to the last; NTFS: from the MFT's
// first cluster to the last cluster of the volume. Empty (last below first) when there are none.
ClusterRange allowedClusters(const DriveInfo& info);
bool validClusterRange(const DriveInfo& info, ClusterRange range);

// Would a file at `imagePath` lie on the volume read from `sourcePath`: the source file itself, a
// file system on the source device, or on a partition of the source disk? Writing there could
// overwrite the very clusters being saved.
bool imageOnSource(const std::string& sourcePath, const std::string& imagePath);

struct SaveClustersProgress {
    std::uint64_t current = 0;  // the last cluster written
    int percent = 0;
    std::optional<std::uint64_t> elapsedSeconds;  // once the clock has moved and the range has begun
    std::optional<std::uint64_t> remainingSeconds;
};

// What a front end sees of a running save: `step` comes after each block written (a GUI moves its
// bar and lets one pending event through).
class SaveClustersObserver {
public:
    virtual ~SaveClustersObserver() = default;
    virtual void started(ClusterRange /*range*/) {}
    virtual void step(const SaveClustersProgress&) {}
    virtual bool cancelled() { return false; }
};

struct SaveClustersOptions {
    std::string imagePath;
    ClusterRange range;
    // FAT: clusters its first FAT marks bad are not read.
    bool skipBadClusters = true;
    // What to do with a file that has the image's name already: Yes asks, YesToAll replaces,
    // NoToAll keeps it (and writes nothing).
    ReplaceAnswer existing = ReplaceAnswer::Yes;
};

enum class SaveClustersResult {
    Done,
    Refused,    // nothing was written: the range, the target or the drive would not do
    Failed,     // the file holds what was written before the failure (beside an older file of
                // its name, which stays as it was)
    Cancelled,  // likewise, up to the cancel
};

struct SaveClustersSummary {
    SaveClustersResult result = SaveClustersResult::Refused;
    // Clusters whose place in the file holds zeros: they could not be read, or the FAT marks
    // them bad and they were skipped.
    std::uint64_t unreadable = 0;
    std::uint64_t skippedBad = 0;
};

// Writes the image of `options.range` of the open drive, reading through it in large requests.
// Every failure is said through the drive's prompts.
SaveClustersSummary saveClusters(CDrive& drive, const SaveClustersOptions& options, SaveClustersObserver& observer);

}  // namespace harrow
