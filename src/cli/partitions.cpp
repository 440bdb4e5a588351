// Sources named as partitions of a whole disk: PATH@N and X:@N.
#include <sys/stat.h>

#include <algorithm>
#include <fmt/core.h>

#include "cli/cli.h"
#include "volume/partition_table.h"

namespace harrow::cli {

NamedPartition partitionOfSource(const std::string& source, std::uint64_t offset) {
    struct stat st {};
    const auto named = splitPartitionSuffix(source);
    // A file whose name merely ends in "@N" is that file.
    if (!named || ::stat(source.c_str(), &st) == 0) return {};
    std::string disk = named->first;
    if (auto letter = letterOfRootPath(disk); letter && disk.size() <= 3) {
        const DriveEntry* entry = DriveTable::global().find(*letter);
        if (!entry || entry->offset != 0 || entry->length) {
            printError(fmt::format("{} is no whole disk of the drive table", disk));
            return {true, std::nullopt};
        }
        disk = entry->path;
    }
    if (offset != 0) {
        printError("--offset and a partition number do not go together: " + source);
        return {true, std::nullopt};
    }
    const std::vector<DriveEntry> parts = partitionEntries(disk).value_or(std::vector<DriveEntry>{});
    const auto part = std::find_if(parts.begin(), parts.end(), [&](const DriveEntry& p) { return p.partition == named->second; });
    if (part == parts.end()) {
        std::string have;
        for (const DriveEntry& p : parts) have += (have.empty() ? "" : ", ") + std::to_string(p.partition);
        printError(have.empty() ? fmt::format("{} holds no partition table that can be read", disk)
                                : fmt::format("{} has no partition {} (it has {})", disk, named->second, have));
        return {true, std::nullopt};
    }
    const auto letter = DriveTable::global().registerPath(part->path, part->offset, part->length);
    if (!letter) printError("no free drive letter for " + source);
    return {true, letter};
}

bool refusePartitionedDisk(const std::string& source) {
    const auto parts = partitionEntries(source);
    if (!parts) return false;
    std::vector<std::string> offers;
    for (const DriveEntry& p : *parts)
        if (!p.fileSystem.empty())
            offers.push_back(fmt::format("{}@{} ({}, {})", source, p.partition, p.fileSystem, sizeText(p.length.value_or(0))));
    if (offers.empty()) {
        printError(fmt::format("{}: a partitioned disk with no FAT or NTFS partition", source));
        return true;
    }
    std::string list = offers.front();
    for (std::size_t i = 1; i < offers.size(); ++i) list += (i + 1 == offers.size() ? " or " : ", ") + offers[i];
    printError(fmt::format("{}: a partitioned disk: use {}", source, list));
    return true;
}

}  // namespace harrow::cli
