// A volume in memory that fails where a test says: sectors that cannot be read, and the loss of
// the whole source after a number of reads. Reads are counted, so a test can also tell how many
// requests an operation made.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "volume/source_factory.h"

namespace harrow::test {

struct FaultPlan {
    std::set<std::uint64_t> badSectors;          // 512-byte sectors of the image that cannot be read
    std::optional<std::uint64_t> loseAfterReads;  // reads that succeed before the source is gone
    std::atomic<std::uint64_t> reads = 0;         // read requests made, over every open
    std::atomic<std::uint64_t> opens = 0;         // times the source was opened
    // Called before each read, on the reading thread: a device that takes its time.
    std::function<void()> beforeRead;
};

class FaultySource : public SectorSource {
public:
    FaultySource(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::shared_ptr<FaultPlan> plan)
        : bytes_(std::move(bytes)), plan_(std::move(plan)) {}

    // Like a disk: the bytes before the first bad sector arrive, the rest are zeros.
    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    std::uint32_t deviceSectorSize() const override { return 512; }
    std::optional<std::uint64_t> sizeBytes() const override { return bytes_->size(); }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    std::shared_ptr<FaultPlan> plan_;
};

class FaultySources : public SourceFactory {
public:
    explicit FaultySources(std::vector<std::uint8_t> bytes)
        : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))), plan_(std::make_shared<FaultPlan>()) {}

    OpenedSource open(const std::string&, DriveKind) override {
        ++plan_->opens;
        return {std::make_unique<FaultySource>(bytes_, plan_), 0, "faulty", {}};
    }
    FaultPlan& plan() { return *plan_; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    std::shared_ptr<FaultPlan> plan_;
};

}  // namespace harrow::test
