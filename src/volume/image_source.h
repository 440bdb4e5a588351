// An image file of part of a volume (see image_file.h), read as if it were the volume: the
// sectors it holds come from their places in the file, every other sector of the volume reads as
// zeros.
#pragma once

#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "volume/image_file.h"
#include "volume/sector_source.h"

namespace harrow {

class ImageSource : public SectorSource {
public:
    // Opens `path` read-only; nothing unless it is an image file with a header that parse()
    // accepts and that fitImageToFile() holds to the file. With `why`, what kept it from opening
    // when that is the image's own fault (not the file's reading), for the user.
    static std::unique_ptr<ImageSource> open(const std::string& path, std::string* why = nullptr);
    // The same for a regular file open already (read-only).
    static std::unique_ptr<ImageSource> open(UniqueFd fd, std::string* why = nullptr);
    // Whether the file open at `fd` begins with the image signature.
    static bool hasSignature(int fd);
    // Whether `path` is a regular file that begins with the image signature: the signature, not
    // the name, tells an image file from a raw volume.
    static bool isImageFile(const std::string& path);

    // A read that reaches past the end of a truncated file fails, with zeros for what is missing:
    // short data is never passed off as the volume's.
    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    std::uint32_t deviceSectorSize() const override { return header_.info.bytesPerSector; }
    std::optional<std::uint64_t> sizeBytes() const override { return volumeBytes_; }
    std::optional<DriveInfo> driveInfo() const override { return header_.info; }
    std::optional<SavedClusters> savedClusters() const override {
        return SavedClusters{header_.firstCluster, header_.lastCluster, heldClusters_};
    }
    bool holds(std::uint64_t first, std::uint64_t count) const override;
    void expectSequential() override;

    const ImageHeader& header() const { return header_; }

private:
    ImageSource(UniqueFd fd, ImageHeader header, std::uint64_t heldClusters)
        : fd_(std::move(fd)), header_(std::move(header)), ranges_(imageRanges(header_)),
          volumeBytes_(imageVolumeBytes(header_.info)), heldClusters_(heldClusters) {}
    ReadResult readFile(std::uint64_t offset, MutableBytes out);

    UniqueFd fd_;
    ImageHeader header_;
    ImageRanges ranges_;
    std::uint64_t volumeBytes_;
    std::uint64_t heldClusters_;
};

}  // namespace harrow
