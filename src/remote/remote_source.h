// The remote drive as a source of sectors: a volume of the machine harrowd runs on, read over
// the connection that the factory keeps for the whole session.
#pragma once

#include <memory>
#include <string>

#include "common/prompts.h"
#include "remote/client.h"
#include "volume/source_factory.h"

namespace harrow::remote {

class RemoteSource : public SectorSource {
public:
    RemoteSource(ClientConnection& connection, std::uint32_t sectorSize, std::optional<DriveInfo> described);
    // Closes the drive on the server, unless another open has taken its place.
    ~RemoteSource() override;

    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    void willRead(std::span<const SectorExtent> extents, std::uint32_t sectorSize) override;
    std::uint32_t deviceSectorSize() const override { return sectorSize_; }
    // The protocol does not say how large a volume is.
    std::optional<std::uint64_t> sizeBytes() const override { return std::nullopt; }
    std::optional<DriveInfo> driveInfo() const override { return described_; }

private:
    bool current() const { return connection_.connected() && connection_.driveGeneration() == generation_; }

    ClientConnection& connection_;
    std::uint64_t generation_;
    std::uint32_t sectorSize_;  // the server's, in which every request counts
    std::optional<DriveInfo> described_;
};

// Opens DriveKind::Remote root paths ("X:\") on the server this factory is connected to, and
// hands every other kind to the local factory.
class RemoteSources : public SourceFactory {
public:
    explicit RemoteSources(Prompts& prompts, SourceFactory& local = SystemSources::global());

    ClientConnection& connection() { return connection_; }
    // How messages name the server's drives ("harrowd://HOST:PORT"); the letter is appended.
    void setServerName(std::string name) { serverName_ = std::move(name); }

    OpenedSource open(const std::string& path, DriveKind kind) override;

private:
    ClientConnection connection_;
    SourceFactory& local_;
    std::string serverName_;
};

}  // namespace harrow::remote
