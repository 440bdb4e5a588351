#include "volume/source_factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "volume/image_source.h"
#include "volume/local_source.h"

namespace harrow {

SystemSources& SystemSources::global() {
    static SystemSources sources;
    return sources;
}

OpenedSource SystemSources::open(const std::string& path, DriveKind kind) {
    if (kind == DriveKind::Image) {
        // Whatever keeps an image from opening, the one message says so.
        auto image = ImageSource::open(path);
        if (!image) return failed(msg::kCannotOpenDrive);
        return {std::move(image), 0, path, {}};
    }
    if (kind != DriveKind::Local) return failed(msg::kCannotOpenDrive);
    OpenedSource opened;
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> length;
    opened.devicePath = path;
    if (auto letter = letterOfRootPath(path)) {
        const DriveEntry* entry = table_.find(*letter);
        if (!entry) return failed(msg::kCannotOpenDrive);
        opened.devicePath = entry->path;
        opened.label = entry->label;
        offset = entry->offset;
        length = entry->length;
    }
    // Opened once, whatever it holds: a whole file that starts with the image signature is an
    // image file, and is read as one.
    UniqueFd fd = handedDescriptor(opened.devicePath);
    if (!fd.valid()) fd = LocalSource::openDevice(opened.devicePath);
    struct stat st {};
    if (fd.valid() && offset == 0 && !length && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        ImageSource::hasSignature(fd.get())) {
        auto image = ImageSource::open(std::move(fd));
        if (!image) return failed(msg::kCannotOpenDrive);
        opened.source = std::move(image);
        opened.kind = DriveKind::Image;
        return opened;
    }
    if (fd.valid()) opened.source = LocalSource::open(std::move(fd), offset, length);
    if (!opened.source) {
        // Permission is the one failure the user can mend, so it names the device and the remedy.
        if (errno == EACCES || errno == EPERM)
            return {nullptr, noPermissionMessage(opened.devicePath).id, opened.devicePath, opened.label};
        if (errno == ENOTBLK) return {nullptr, msg::kNotADisk, opened.devicePath, opened.label};
        return failed(msg::kCannotOpenDrive);
    }
    return opened;
}

void SystemSources::handOver(const std::string& devicePath, UniqueFd fd) {
    const std::lock_guard lock(handedMutex_);
    handed_[devicePath] = std::move(fd);
}

bool SystemSources::handedOver(const std::string& devicePath) const {
    const std::lock_guard lock(handedMutex_);
    return handed_.contains(devicePath);
}

UniqueFd SystemSources::handedDescriptor(const std::string& devicePath) const {
    const std::lock_guard lock(handedMutex_);
    const auto it = handed_.find(devicePath);
    if (it == handed_.end()) return UniqueFd();
    // A descriptor of its own for each source: the source closes what it reads through.
    return UniqueFd(::fcntl(it->second.get(), F_DUPFD_CLOEXEC, 0));
}

MessageId<TextArg> noPermissionMessage(const std::string& path, bool root) {
    struct stat st {};
    if (root) return msg::kNoPermissionAsRoot;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? msg::kNoPermissionFile : msg::kNoPermission;
}

std::string OpenedSource::failureText() const {
    for (const MessageId<TextArg> m : {msg::kNoPermission, msg::kNoPermissionFile, msg::kNoPermissionAsRoot})
        if (failure == m.id) return formatMessage(m, devicePath);
    if (failure == msg::kNotADisk) return formatMessage(msg::kNotADisk, devicePath);
    return messageText(failure);
}

}  // namespace harrow
