#include "common/replacing_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "common/text.h"

namespace harrow {
namespace {

// Renames without replacing anything; false with errno EEXIST when `to` is taken.
bool renameNoReplace(int dirFd, const std::string& from, const std::string& to) {
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system that cannot be asked not to replace: look first.
    struct stat st {};
    if (::fstatat(dirFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(dirFd, from.c_str(), dirFd, to.c_str()) == 0;
}

}  // namespace

std::string nameWithSuffix(std::string_view name, std::string_view suffix) {
    const std::size_t dot = name.rfind('.');
    std::string_view ext = dot != std::string_view::npos && dot > 0 && dot + 1 < name.size() ? name.substr(dot) : std::string_view{};
    if (ext.size() + suffix.size() > kMaxNameBytes / 2) ext = {};
    const std::string_view stem = name.substr(0, name.size() - ext.size());
    const std::size_t room = kMaxNameBytes - ext.size() - suffix.size();
    std::string out(stem.substr(0, utf8PrefixLength(stem, room)));
    out += suffix;
    out += ext;
    return out;
}

std::optional<ReplacingFile> ReplacingFile::create(int dirFd, std::string name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = ".harrow-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
        UniqueFd fd(::openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.valid()) return ReplacingFile(dirFd, std::move(name), std::move(temporary), std::move(fd));
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

ReplacingFile::ReplacingFile(ReplacingFile&& o) noexcept
    : dirFd_(o.dirFd_), name_(std::move(o.name_)), temporary_(std::exchange(o.temporary_, {})), fd_(std::move(o.fd_)) {}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& o) noexcept {
    if (this != &o) {
        discard();
        dirFd_ = o.dirFd_;
        name_ = std::move(o.name_);
        temporary_ = std::exchange(o.temporary_, {});
        fd_ = std::move(o.fd_);
    }
    return *this;
}

ReplacingFile::~ReplacingFile() { discard(); }

void ReplacingFile::discard() {
    fd_.reset();
    if (!temporary_.empty()) ::unlinkat(dirFd_, temporary_.c_str(), 0);
    temporary_.clear();
}

bool ReplacingFile::commit() {
    if (temporary_.empty()) return false;
    if (fd_.valid() && ::close(fd_.release()) != 0) return false;
    // rename() replaces the name itself, whatever it is, and never writes through a link.
    if (::renameat(dirFd_, temporary_.c_str(), dirFd_, name_.c_str()) != 0) return false;
    temporary_.clear();
    return true;
}

std::optional<std::string> ReplacingFile::keepAs(const std::string& other) {
    if (temporary_.empty()) return std::nullopt;
    fd_.reset();
    for (int n = 1; n < 1000; ++n) {
        std::string candidate = n == 1 ? other : nameWithSuffix(other, "~" + std::to_string(n));
        if (renameNoReplace(dirFd_, temporary_, candidate)) {
            temporary_.clear();
            return candidate;
        }
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace harrow
