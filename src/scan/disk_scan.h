// The disk scan: every cluster of a FAT volume is tested for the start of a directory, every
// sector of an NTFS volume for a file record that is not a directory. Each hit goes to the
// document (found directories, or the all-files list).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace harrow {

class CQUIDNEYDoc;

struct ScanProgress {
    std::uint64_t current = 0;     // cluster being examined
    std::uint64_t total = 0;       // last cluster of the range
    std::uint64_t hits = 0;
    int percent = 0;
    std::optional<std::uint64_t> elapsedSeconds;    // once the clock has moved and the scan has left the start
    std::optional<std::uint64_t> remainingSeconds;
};

// What a front end sees of a running scan. `step` comes once per cluster on FAT and once per
// cluster change on NTFS: a GUI updates its controls and lets one pending event through.
class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    virtual void started(const std::string& /*driveName*/, bool /*ntfs*/, std::uint64_t /*total*/) {}
    virtual void hit(const std::string& /*line*/) {}   // "cluster => name"
    virtual void step(const ScanProgress&) {}
    virtual bool cancelled() { return false; }
    // What the scan did not search, said once each: a run of clusters it could not read and went
    // on past (asked about at its first cluster), and the end of a source shorter than the volume.
    virtual void notice(const std::string& /*line*/) {}
};

enum class ScanResult { Finished, Cancelled };

// What a scan did: whether it went to the end, and what it did not search on the way.
struct ScanSummary {
    ScanResult result = ScanResult::Finished;
    std::uint64_t unreadableClusters = 0;  // could not be read, and the user went on past them
    bool sourceEnded = false;              // the source ended before the volume did
    // Every cluster of the volume (but the skipped ones) was searched.
    bool complete() const { return result == ScanResult::Finished && unreadableClusters == 0 && !sourceEnded; }
};

// Runs over the document's open drive, skipping the document's ranges (and, on FAT, bad clusters
// when it says so), and stops where the source ends. A read error asks the user through the
// document's prompts whether to go on, once for each run of clusters that cannot be read. On
// NTFS it searches every run of $MFT and the volume after the MFT's first ten records; of an
// image file, every cluster it keeps.
ScanSummary runDiskScan(CQUIDNEYDoc& doc, ScanObserver& observer);

// "h:mm:ss"
std::string formatDuration(std::uint64_t seconds);

}  // namespace harrow
