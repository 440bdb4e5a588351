// A file that takes its name only once it is whole. It is written under a temporary name of its
// own in the target folder and renamed over the name at the end, so that whatever had the name
// stays as it was until then: an older copy is not lost to a copy that fails halfway, and a link
// planted under the name is replaced, never followed.
#pragma once

#include <optional>
#include <string>

#include "common/unique_fd.h"

namespace harrow {

class ReplacingFile {
public:
    // A new empty file in the folder `dirFd` that will take `name`; nothing when the folder
    // cannot take a file (errno says why).
    static std::optional<ReplacingFile> create(int dirFd, std::string name);

    ReplacingFile(ReplacingFile&& o) noexcept;
    ReplacingFile& operator=(ReplacingFile&& o) noexcept;
    ReplacingFile(const ReplacingFile&) = delete;
    ~ReplacingFile();

    int fd() const { return fd_.get(); }

    // Closes the file (a write the kernel kept back may fail here) and gives it its name,
    // replacing what had it. False, with the file still under its temporary name, on failure.
    bool commit();
    // Gives what was written the name `other` instead (never replacing anything there: "~2",
    // "~3" ... are tried before the extension); the name taken, or nothing.
    std::optional<std::string> keepAs(const std::string& other);

    const std::string& name() const { return name_; }

private:
    void discard();
    ReplacingFile(int dirFd, std::string name, std::string temporary, UniqueFd fd)
        : dirFd_(dirFd), name_(std::move(name)), temporary_(std::move(temporary)), fd_(std::move(fd)) {}

    int dirFd_;
    std::string name_;
    std::string temporary_;  // empty once the file has a name of its own
    UniqueFd fd_;
};

// `name` with `suffix` before its extension ("a.txt", "~2" -> "a~2.txt"), cut at a character to
// fit a file name. An "extension" too long to leave room for the rest is not kept apart.
std::string nameWithSuffix(std::string_view name, std::string_view suffix);

}  // namespace harrow
