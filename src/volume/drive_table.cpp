#include "volume/drive_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "volume/boot_probe.h"
#include "volume/local_source.h"
#include "volume/partition_table.h"

namespace harrow {
namespace fs = std::filesystem;
namespace {

std::string readFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

// by-label link names escape blanks and other bytes as \xNN.
std::string unescapeLabel(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string trimmed(std::string s) {
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
}

enum class Access { Readable, Denied, Absent };

// A trial open rather than access(R_OK): only the open also sees a missing medium, and it asks
// with the effective ids the later open will have.
Access tryOpen(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == EACCES || errno == EPERM ? Access::Denied : Access::Absent;
    ::close(fd);
    return Access::Readable;
}

}  // namespace

DriveTable& DriveTable::global() {
    static DriveTable table = [] {
        DriveTable t;
        t.loadSystem();
        if (const char* env = std::getenv("HARROW_DRIVES")) t.addAssignments(env);
        return t;
    }();
    return table;
}

void DriveTable::loadSystem(const std::string& sysBlock, const std::string& byLabel, const std::string& devDir) {
    std::map<std::string, std::string> labels;  // device name -> label
    std::error_code ec;
    for (const auto& link : fs::directory_iterator(byLabel, ec)) {
        fs::path target = fs::canonical(link.path(), ec);
        if (!ec) labels[target.filename().string()] = unescapeLabel(link.path().filename().string());
    }

    std::vector<std::string> floppies, others;
    for (const auto& dev : fs::directory_iterator(sysBlock, ec)) {
        std::string name = dev.path().filename().string();
        if (name.starts_with("sr") || name.starts_with("loop") || name.starts_with("zram")) {
            // CD-ROMs are not volumes we read; loop and zram devices stand in for files we can
            // name directly, and unused ones would only crowd the table.
            if (!name.starts_with("loop") || readFirstLine(dev.path() / "size") == "0") continue;
        }
        if (readFirstLine(dev.path() / "size") == "0") continue;
        (name.starts_with("fd") ? floppies : others).push_back(name);
    }
    std::sort(floppies.begin(), floppies.end());
    std::sort(others.begin(), others.end());

    auto add = [&](const std::string& name, char letter) {
        std::string path = devDir + "/" + name;
        const Access access = tryOpen(path);
        if (access == Access::Absent) return false;
        DriveEntry e;
        e.letter = letter;
        e.path = path;
        e.readable = access == Access::Readable;
        if (name.starts_with("fd")) {
            e.type = DriveType::Removable;
        } else if (name.starts_with("ram")) {
            e.type = DriveType::RamDisk;
        }
        // Partitions carry no "removable", model or serial of their own: ask the disk they lie on.
        const fs::path sys = fs::canonical(fs::path(sysBlock) / name, ec);
        const fs::path disk = fs::exists(sys / "partition") ? sys.parent_path() : sys;
        if (e.type == DriveType::Fixed)
            e.type = readFirstLine(disk / "removable") == "1" ? DriveType::Removable : DriveType::Fixed;
        std::uint64_t sectors = 0;
        const std::string size = readFirstLine(sys / "size");
        std::from_chars(size.data(), size.data() + size.size(), sectors);
        // The kernel counts in 512 bytes, whatever the device's sector size.
        e.bytes = sectors <= UINT64_MAX / 512 ? sectors * 512 : 0;
        e.model = trimmed(readFirstLine(disk / "device" / "model"));
        e.serial = trimmed(readFirstLine(disk / "device" / "serial"));
        if (e.serial.empty()) e.serial = trimmed(readFirstLine(disk / "serial"));
        if (auto it = labels.find(name); it != labels.end()) e.label = it->second;
        set(std::move(e));
        return true;
    };

    char letter = 'A';
    for (const auto& f : floppies)
        if (letter <= 'B' && add(f, letter)) ++letter;
    letter = 'C';
    std::vector<char> unsplit;
    for (const auto& d : others) {
        if (letter > 'Z' || !add(d, letter)) continue;
        // A whole disk whose partitions the kernel has not made devices of (a loop device
        // without partition scanning, say): its table is read here.
        const fs::path sys = fs::canonical(fs::path(sysBlock) / d, ec);
        bool split = ec || fs::exists(sys / "partition");
        for (const auto& child : fs::directory_iterator(sys, ec))
            split = split || fs::exists(child.path() / "partition");
        if (!split) unsplit.push_back(letter);
        ++letter;
    }
    for (char l : unsplit) splitDisk(l);
}

bool DriveTable::addAssignments(const std::string& text) {
    bool ok = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        if (item.size() < 3 || item[1] != '=' || !std::isalpha(static_cast<unsigned char>(item[0]))) {
            ok = false;
            continue;
        }
        DriveEntry e;
        e.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(item[0])));
        e.path = item.substr(2);
        forgetElsewhere(e.letter, e.path);
        if (auto named = splitPartitionSuffix(e.path); named && !fs::exists(e.path)) {
            const auto parts = partitionEntries(named->first);
            const auto it = parts ? std::find_if(parts->begin(), parts->end(),
                                                 [&](const DriveEntry& p) { return p.partition == named->second; })
                                  : std::vector<DriveEntry>::const_iterator{};
            if (!parts || it == parts->end()) {
                ok = false;
                continue;
            }
            DriveEntry part = *it;
            part.letter = e.letter;
            set(std::move(part));
            continue;
        }
        const char letter = e.letter;
        // Listed as the user may meet it: greyed, with the way to get access.
        e.readable = tryOpen(e.path) != Access::Denied;
        set(std::move(e));
        splitDisk(letter);
    }
    return ok;
}

bool DriveTable::splitDisk(char letter) {
    const DriveEntry* disk = find(letter);
    if (!disk || disk->offset != 0 || disk->length || !disk->readable) return false;
    auto parts = partitionEntries(disk->path);
    if (!parts) return false;
    // Only the volumes this program reads stand for the disk; without any it stays as it is.
    std::erase_if(*parts, [](const DriveEntry& p) { return p.fileSystem.empty(); });
    if (parts->empty()) return true;
    const DriveType type = disk->type;
    const std::string model = disk->model, serial = disk->serial;
    entries_.erase(entries_.begin() + (disk - entries_.data()));
    for (DriveEntry& p : *parts) {
        // The first takes the disk's letter, the others the next free ones.
        for (char l = 'C'; find(letter) && l <= 'Z'; ++l) letter = l;
        if (find(letter)) break;
        p.letter = letter;
        p.type = type;
        p.model = model;
        p.serial = serial;
        set(std::move(p));
    }
    return true;
}

void DriveTable::forgetElsewhere(char letter, const std::string& path) {
    const auto named = splitPartitionSuffix(path);
    const bool partition = named && !fs::exists(path);
    const std::string disk = partition ? named->first : path;
    std::optional<std::uint64_t> offset;
    if (partition) {
        const auto parts = partitionEntries(disk);
        for (const DriveEntry& p : parts.value_or(std::vector<DriveEntry>{}))
            if (p.partition == named->second) offset = p.offset;
        if (!offset) return;
    }
    std::error_code ec;
    std::erase_if(entries_, [&](const DriveEntry& e) {
        if (e.letter == letter || (offset && e.offset != *offset)) return false;
        return e.path == disk || fs::equivalent(e.path, disk, ec);
    });
}

void DriveTable::set(DriveEntry entry) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), entry.letter,
                               [](const DriveEntry& e, char l) { return e.letter < l; });
    if (it != entries_.end() && it->letter == entry.letter)
        *it = std::move(entry);
    else
        entries_.insert(it, std::move(entry));
}

std::optional<char> DriveTable::registerPath(const std::string& path, std::uint64_t offset,
                                             std::optional<std::uint64_t> length) {
    for (const auto& e : entries_)
        if (e.path == path && e.offset == offset && e.length == length) return e.letter;
    for (char l = 'C'; l <= 'Z'; ++l) {
        if (find(l)) continue;
        DriveEntry e;
        e.letter = l;
        e.path = path;
        e.offset = offset;
        e.length = length;
        set(std::move(e));
        return l;
    }
    return std::nullopt;
}

void DriveTable::probeFileSystems() {
    for (DriveEntry& e : entries_) {
        if (!e.readable) continue;
        if (e.fileSystem.empty()) e.fileSystem = fileSystemAt(e.path, e.offset, e.length);
        if (e.bytes == 0 && e.length) e.bytes = *e.length;
        if (e.bytes != 0) continue;
        if (const auto source = LocalSource::open(e.path, e.offset)) e.bytes = source->sizeBytes().value_or(0);
    }
}

const DriveEntry* DriveTable::find(char letter) const {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (const auto& e : entries_)
        if (e.letter == letter) return &e;
    return nullptr;
}

std::string fileSystemAt(const std::string& path, std::uint64_t offset, std::optional<std::uint64_t> length) {
    const auto source = LocalSource::open(path, offset, length);
    if (!source) return {};
    std::vector<std::uint8_t> boot;
    const auto read = [&](std::uint64_t sector, std::uint32_t size, MutableBytes out) { return source->read(sector, size, out); };
    return locateBootSector(read, source->deviceSectorSize(), source->sizeBytes(), boot).fileSystem;
}

std::optional<char> letterOfRootPath(const std::string& path) {
    if (path.empty() || !std::isalpha(static_cast<unsigned char>(path[0]))) return std::nullopt;
    if (path.size() > 3 || (path.size() >= 2 && path[1] != ':') || (path.size() == 3 && path[2] != '\\'))
        return std::nullopt;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
}

}  // namespace harrow
