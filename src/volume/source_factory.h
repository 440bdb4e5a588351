// The one door through which a drive gets its source: a letter of the drive table, a device or
// file path, and (in their own factories) image files and remote volumes. Tests hand the drive
// a factory of their own through the same door.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

#include "common/unique_fd.h"

#include "common/strings.h"
#include "volume/drive_table.h"
#include "volume/sector_source.h"

namespace harrow {

enum class DriveKind : int { None = 0, Local = 1, Image = 3, Remote = 4 };

struct OpenedSource {
    std::unique_ptr<SectorSource> source;  // none when the open failed
    int failure = 0;         // then the number of the message that says why
    std::string devicePath;  // the device or file behind the source; empty when there is none
    std::string label;       // the name the system knows the volume by, when it has one
    // What the source turned out to be when that is not what was asked for: a file named as a
    // local volume that holds an image file.
    std::optional<DriveKind> kind{};

    // The text of `failure`, naming the device where the message has a place for it.
    std::string failureText() const;
};

// The message that says what to do about `path` the user may not read: its permissions for a
// file; the disk group or the desktop's authorisation for a device; and for a process that
// already is root, what else withholds it (root is no advice there).
MessageId<TextArg> noPermissionMessage(const std::string& path, bool root = ::geteuid() == 0);

class SourceFactory {
public:
    virtual ~SourceFactory() = default;
    // The source for `path` opened as `kind`.
    virtual OpenedSource open(const std::string& path, DriveKind kind) = 0;
    static OpenedSource failed(int message) { return {nullptr, message, {}, {}}; }
};

// This machine's volumes: root paths "X:\" through the drive table, other paths as devices or
// files. Image files and remote volumes have no source here yet.
class SystemSources : public SourceFactory {
public:
    explicit SystemSources(DriveTable& table = DriveTable::global()) : table_(table) {}
    OpenedSource open(const std::string& path, DriveKind kind) override;

    // A descriptor of `devicePath` opened on the user's behalf by someone allowed to (the
    // desktop's disk authorisation, read-only): opens of that device read through it from now on
    // instead of opening the device, which the user may not.
    void handOver(const std::string& devicePath, UniqueFd fd);
    bool handedOver(const std::string& devicePath) const;

    static SystemSources& global();

private:
    // A descriptor of its own for a device handed over; invalid for any other.
    UniqueFd handedDescriptor(const std::string& devicePath) const;

    DriveTable& table_;
    mutable std::mutex handedMutex_;
    std::map<std::string, UniqueFd> handed_;
};

}  // namespace harrow
