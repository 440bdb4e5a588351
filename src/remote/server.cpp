#include "remote/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/strings.h"
#include "remote/stream_io.h"

namespace harrow::remote {
namespace {

using Clock = std::chrono::steady_clock;

// Request bytes read ahead per connection; a pipelining client sends many small requests.
constexpr std::size_t kInputBufferBytes = 64 * 1024;
// Past this many connections the listening socket is left alone until one goes; each
// connection holds a descriptor, and a process has only so many.
constexpr std::size_t kMaxConnections = 500;
// What Windows reports for FAT and NTFS volumes alike: names keep their case, and are stored in
// Unicode.
constexpr std::uint32_t kVolumeFlags = 0x2 | 0x4;
constexpr std::uint32_t kMaxComponentLength = 255;

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string addressText(const in_addr& a) {
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

// The first IPv4 address of this host's name, as text; empty when it has none.
std::string hostAddress(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return {};
    std::string text = addressText(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
    ::freeaddrinfo(found);
    return text;
}

bool parseAddress(const std::string& text, in_addr& out) {
    if (text.empty()) {
        out.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// Text a client sent, made safe to write in the log: a control character could end the line or
// drive the terminal the log is shown on.
std::string printable(std::string text) {
    for (char& ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    return text;
}

// The volume serial number as the boot sector holds it.
std::uint32_t volumeSerial(Bytes boot, const DriveInfo& info) {
    switch (info.fsType) {
        case FsType::Ntfs: return le32(boot, 0x48);
        case FsType::Fat32: return le32(boot, 0x43);
        case FsType::Fat1x:
        default: return le32(boot, 0x27);
    }
}

}  // namespace

// The drive code speaks through Prompts; on the server its words go to the log, and its
// questions, which nobody is there to answer, get the cautious answer.
class CServerDoc::LogPrompts : public Prompts {
public:
    explicit LogPrompts(ServerObserver& observer) : observer_(observer) {}
    void showMessage(int id, const std::string& text, MsgIcon) override { observer_.log(id, text); }
    bool askYesNo(int id, const std::string& text) override {
        observer_.log(id, text);
        return false;
    }
    ReplaceAnswer askOverwrite(const OverwriteQuestion&) override { return ReplaceAnswer::Cancel; }
    FatChoice chooseFat(int, int) override { return {}; }

private:
    ServerObserver& observer_;
};

CServerDoc::CServerDoc(ServerObserver& observer, DriveTable& drives, SourceFactory& sources)
    : observer_(observer), drives_(drives), sources_(sources), prompts_(std::make_unique<LogPrompts>(observer)) {}

CServerDoc::~CServerDoc() = default;

bool CServerDoc::startUp(ServerOptions options) {
    options_ = std::move(options);
    activity_ = 0;
    host_.computerName = hostName().substr(0, ServerEntry::kComputerNameBytes - 1);
    host_.address = options_.bindAddress.empty() ? hostAddress(hostName()) : options_.bindAddress;

    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(options_.port);
    if (!parseAddress(options_.bindAddress, at.sin_addr)) {
        errno = EINVAL;
        return false;
    }
    listening_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listening_.valid()) return false;
    const int one = 1;
    ::setsockopt(listening_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listening_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listening_.get(), 5) != 0) {
        const int error = errno;
        listening_.reset();
        errno = error;
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listening_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);

    at.sin_port = htons(static_cast<std::uint16_t>(port_ + 1));
    discovery_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (discovery_.valid() && ::bind(discovery_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        discovery_.reset();
    return true;
}

void CServerDoc::pollSet(std::vector<pollfd>& into) const {
    if (listening_.valid() && connections_.size() < kMaxConnections) into.push_back({listening_.get(), POLLIN, 0});
    if (discovery_.valid()) into.push_back({discovery_.get(), POLLIN, 0});
    using Phase = CClientSocket::Phase;
    for (const auto& c : connections_) {
        short events = 0;
        const bool reading = c->phase == Phase::Serving ? c->pendingOut() < kOutputHighWater
                                                        : c->phase == Phase::Leaving && c->sendingShut;
        if (reading && !c->peerClosed) events |= POLLIN;
        if (c->pendingOut() > 0) events |= POLLOUT;
        into.push_back({c->fd.get(), events, 0});
    }
}

int CServerDoc::pollTimeout() const {
    std::optional<Clock::time_point> due;
    for (const auto& c : connections_) {
        if (c->in.empty() && c->pendingOut() == 0 && c->phase == CClientSocket::Phase::Serving) continue;
        const auto at = c->lastProgress + options_.stallLimit;
        if (!due || at < *due) due = at;
    }
    if (!due) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

void CServerDoc::handle(std::span<const pollfd> ready) {
    for (const pollfd& p : ready) {
        if (p.revents == 0) continue;
        if (p.fd == listening_.get()) {
            acceptPending();
            continue;
        }
        if (p.fd == discovery_.get()) {
            answerDiscovery();
            continue;
        }
        auto it = std::find_if(connections_.begin(), connections_.end(), [&](const auto& c) { return c->fd.get() == p.fd; });
        if (it != connections_.end() && !service(**it, p.revents)) remove(**it);
    }
    dropStalled();
}

void CServerDoc::acceptPending() {
    while (connections_.size() < kMaxConnections) {
        UniqueFd fd(::accept4(listening_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        adopt(std::move(fd));
    }
}

void CServerDoc::adopt(UniqueFd fd) {
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<CClientSocket>();
    c->fd = std::move(fd);
    c->lastProgress = Clock::now();
    connections_.push_back(std::move(c));
    observer_.connectionsChanged(connections_.size());
}

void CServerDoc::answerDiscovery() {
    for (;;) {
        std::array<std::uint8_t, kDiscoveryRequestBytes + 1> request;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC: the datagram's whole length, so that only a 6-byte request is answered.
        const ssize_t n = ::recvfrom(discovery_.get(), request.data(), request.size(), MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        if (static_cast<std::size_t>(n) != kDiscoveryRequestBytes) continue;
        const auto answer = discoveryAnswer(host_);
        ::sendto(discovery_.get(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

void CServerDoc::receive(CClientSocket& c) {
    while (!c.peerClosed && c.in.size() < kInputBufferBytes) {
        const std::size_t had = c.in.size();
        c.in.resize(kInputBufferBytes);
        const IoStep step = receiveSome(c.fd.get(), MutableBytes(c.in).subspan(had));
        c.in.resize(had + step.bytes);
        if (step.bytes > 0) c.lastProgress = Clock::now();
        c.peerClosed = step.closed;
        if (step.bytes == 0) break;
    }
    // Once the connection is ending, nothing the client says is served any more.
    if (c.phase != CClientSocket::Phase::Serving) c.in.clear();
}

bool CServerDoc::wholeRequestBuffered(const CClientSocket& c) const {
    const auto header = MessageHeader::parse(c.in);
    return header && c.in.size() - MessageHeader::kSize >= header->length;
}

bool CServerDoc::service(CClientSocket& c, short events) {
    using Phase = CClientSocket::Phase;
    if (events & (POLLIN | POLLHUP | POLLERR)) receive(c);
    for (;;) {
        if (!serveBuffered(c) || !flush(c)) return false;
        if (c.phase != Phase::Serving || c.pendingOut() >= kOutputHighWater || !wholeRequestBuffered(c)) break;
    }
    switch (c.phase) {
        case Phase::Serving:
            // The client closed its side (or the socket failed): what it sent before is answered
            // first, then the connection ends as a failed receive.
            if (c.peerClosed && c.pendingOut() == 0) {
                logServer(servermsg::kSocketReadError, serverMessageText(servermsg::kSocketReadError));
                return false;
            }
            return true;
        case Phase::Closing:
            return c.pendingOut() > 0 && !c.peerClosed;
        case Phase::Leaving:
            if (c.pendingOut() == 0 && !c.sendingShut) {
                ::shutdown(c.fd.get(), SHUT_WR);
                c.sendingShut = true;
            }
            return !c.peerClosed;
    }
    return false;
}

bool CServerDoc::serveBuffered(CClientSocket& c) {
    std::size_t at = 0;
    bool keep = true;
    while (keep && c.phase == CClientSocket::Phase::Serving && c.pendingOut() < kOutputHighWater &&
           c.in.size() - at >= MessageHeader::kSize) {
        const Bytes rest = Bytes(c.in).subspan(at);
        const auto header = MessageHeader::parse(rest);
        // A wrong marker, or more payload than a request can hold: not this protocol, and the
        // stream cannot be brought back into step.
        if (!header || header->length > kRequestBufferBytes - MessageHeader::kSize) {
            logServer(servermsg::kSocketReadError, serverMessageText(servermsg::kSocketReadError));
            return false;
        }
        if (rest.size() - MessageHeader::kSize < header->length) break;
        keep = serve(c, header->code, rest.subspan(MessageHeader::kSize, header->length));
        at += MessageHeader::kSize + header->length;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
    if (!keep) {
        // The replies already made are still sent; nothing after this request is read.
        c.phase = CClientSocket::Phase::Closing;
        c.in.clear();
    }
    return true;
}

bool CServerDoc::flush(CClientSocket& c) {
    while (c.pendingOut() > 0) {
        const IoStep step = sendSome(c.fd.get(), Bytes(c.out).subspan(c.outSent));
        if (step.closed) {
            logServer(servermsg::kSocketSendError, serverMessageText(servermsg::kSocketSendError));
            return false;
        }
        if (step.bytes == 0) break;
        c.outSent += step.bytes;
        c.lastProgress = Clock::now();
    }
    if (c.outSent == c.out.size()) {
        c.out.clear();
        c.outSent = 0;
    } else if (c.outSent > c.out.size() / 2) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outSent));
        c.outSent = 0;
    }
    return true;
}

void CServerDoc::reply(CClientSocket& c, std::uint8_t code, Bytes payload) {
    const auto header = MessageHeader{code, static_cast<std::uint32_t>(payload.size())}.serialize();
    c.out.insert(c.out.end(), header.begin(), header.end());
    c.out.insert(c.out.end(), payload.begin(), payload.end());
}

void CServerDoc::setActivity(int value) {
    activity_ = std::max(0, value);
    observer_.activityChanged(activity_);
}

bool CServerDoc::serve(CClientSocket& c, std::uint8_t code, Bytes payload) {
    setActivity(activity_ + 1);
    bool keep = true;
    switch (code) {
        case MSG_PING:
            reply(c, MSG_OK);
            break;
        case MSG_LOGIN:
            serveLogin(c, payload, keep);
            break;
        case MSG_LOGOUT:
            logServer(servermsg::kLogout, formatServerMessage(servermsg::kLogout, c.peerAddress));
            keep = false;
            break;
        case MSG_CLOSE_DRIVE:
            closeDrive(c);
            reply(c, MSG_OK);
            break;
        case MSG_OPEN_DRIVE:
        case MSG_READ_SECTORS:
        case MSG_DRIVE_TYPE:
        case MSG_VOLUME_INFO:
            // Without the password nobody reads a disk of this machine, nor learns which it has.
            if (!c.loggedIn) {
                reply(c, MSG_FAIL);
                break;
            }
            if (code == MSG_OPEN_DRIVE) serveOpenDrive(c, payload);
            if (code == MSG_READ_SECTORS) serveReadSectors(c, payload);
            if (code == MSG_VOLUME_INFO) serveVolumeInfo(c, payload);
            if (code == MSG_DRIVE_TYPE) {
                std::array<std::uint8_t, kDriveTypeBytes> type{};
                storeLe(MutableBytes(type), 0, static_cast<std::uint16_t>(driveTypeOf(parseRootPath(payload))));
                reply(c, MSG_DATA, type);
            }
            break;
        default:
            // Not a request: read and dropped, the connection stays.
            break;
    }
    setActivity(activity_ - 1);
    return keep;
}

void CServerDoc::serveLogin(CClientSocket& c, Bytes payload, bool& keep) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    std::string address;
    int port = 0;
    if (::getpeername(c.fd.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET) {
        address = addressText(peer.sin_addr);
        port = ntohs(peer.sin_port);
    }
    if (payload.size() != LoginRequest::kSize || !passwordMatches(payload, options_.password)) {
        reply(c, MSG_FAIL);
        logServer(servermsg::kIllegalLogin, formatServerMessage(servermsg::kIllegalLogin, address, port));
        keep = false;
        return;
    }
    std::copy(payload.begin(), payload.end(), c.login.begin());
    c.loggedIn = true;
    reply(c, MSG_LOGIN_OK, host_.serialize());
    logServer(servermsg::kLogin, formatServerMessage(servermsg::kLogin, address, port));
    c.peerAddress = address;
    c.peerPort = port;
}

void CServerDoc::serveOpenDrive(CClientSocket& c, Bytes payload) {
    std::string path = parseRootPath(payload);
    if (path != c.path)
        logServer(servermsg::kOpenDrive, formatServerMessage(servermsg::kOpenDrive, c.peerAddress, printable(path)));
    closeDrive(c);
    c.letter = path.empty() ? 0 : path[0];
    c.path = path;
    // Only the letters of the drive table are served: a path of any other form would name a
    // file of this machine.
    const auto letter = letterOfRootPath(path);
    if (!letter || !drives_.find(*letter)) {
        reply(c, MSG_FAIL);
        return;
    }
    auto drive = std::make_unique<CDrive>(*prompts_, sources_);
    // The client reads the table itself; the server only needs the geometry.
    drive->setLoadMftOnOpen(false);
    if (!drive->open(std::string(1, *letter) + ":\\", DriveKind::Local)) {
        reply(c, MSG_FAIL);
        return;
    }
    reply(c, MSG_DRIVE_OPENED, drive->info().serialize());
    c.drive = std::move(drive);
    c.countedOpen = true;
    setActivity(activity_ + 1);
}

void CServerDoc::serveReadSectors(CClientSocket& c, Bytes payload) {
    const auto request = ReadSectorsRequest::parse(payload);
    if (!request || !c.drive) {
        reply(c, MSG_FAIL);
        return;
    }
    const std::uint64_t bytes = std::uint64_t{request->count} * c.drive->info().bytesPerSector;
    if (bytes > kMaxReadReplyBytes) {
        reply(c, MSG_FAIL);
        return;
    }
    // The sectors are read straight into their place in the reply.
    const std::size_t at = c.out.size();
    const auto header = MessageHeader{MSG_DATA, static_cast<std::uint32_t>(bytes)}.serialize();
    c.out.insert(c.out.end(), header.begin(), header.end());
    c.out.resize(at + MessageHeader::kSize + bytes);
    MutableBytes into = MutableBytes(c.out).subspan(at + MessageHeader::kSize);
    if (!c.drive->readSectors(into, request->first, request->count)) {
        c.out.resize(at);
        reply(c, MSG_FAIL);
    }
}

int CServerDoc::driveTypeOf(const std::string& path) const {
    const auto letter = letterOfRootPath(path);
    const DriveEntry* entry = letter ? drives_.find(*letter) : nullptr;
    return static_cast<int>(entry ? entry->type : DriveType::NoRootDir);
}

void CServerDoc::serveVolumeInfo(CClientSocket& c, Bytes payload) {
    VolumeInformation volume;
    const auto letter = letterOfRootPath(parseRootPath(payload));
    if (letter && drives_.find(*letter)) {
        CDrive drive(*prompts_, sources_);
        drive.setLoadMftOnOpen(false);
        if (drive.open(std::string(1, *letter) + ":\\", DriveKind::Local)) {
            const DriveInfo& info = drive.info();
            std::vector<std::uint8_t> boot(info.bytesPerSector);
            if (drive.readSectors(boot, 0, 1)) volume.serial = volumeSerial(boot, info);
            volume.name = info.label;
            // Windows names FAT12 and FAT16 alike.
            volume.fsName = info.fsType == FsType::Fat1x ? "FAT" : info.fsName;
            volume.maxComponentLength = kMaxComponentLength;
            volume.flags = kVolumeFlags;
        }
    }
    reply(c, MSG_DATA, volume.serialize());
}

void CServerDoc::closeDrive(CClientSocket& c) {
    c.drive.reset();
    if (c.countedOpen) setActivity(activity_ - 1);
    c.countedOpen = false;
}

void CServerDoc::remove(CClientSocket& c) {
    closeDrive(c);
    std::erase_if(connections_, [&](const auto& p) { return p.get() == &c; });
    observer_.connectionsChanged(connections_.size());
}

void CServerDoc::dropStalled() {
    const auto now = Clock::now();
    std::vector<CClientSocket*> stalled;
    for (const auto& c : connections_) {
        const bool waiting = !c->in.empty() || c->pendingOut() > 0 || c->phase != CClientSocket::Phase::Serving;
        if (waiting && now - c->lastProgress >= options_.stallLimit) stalled.push_back(c.get());
    }
    for (CClientSocket* c : stalled) {
        if (c->phase == CClientSocket::Phase::Serving) {
            // A message begun and not finished, or replies the client does not take.
            if (c->pendingOut() > 0)
                logServer(servermsg::kSocketSendError, serverMessageText(servermsg::kSocketSendError));
            else
                logServer(servermsg::kSocketReadError, serverMessageText(servermsg::kSocketReadError));
        }
        remove(*c);
    }
}

void CServerDoc::shutdown() {
    discovery_.reset();
    listening_.reset();
    for (const auto& c : connections_) {
        if (c->phase == CClientSocket::Phase::Leaving) continue;
        c->phase = CClientSocket::Phase::Leaving;
        c->in.clear();
        reply(*c, MSG_SHUTDOWN);
        c->lastProgress = std::chrono::steady_clock::now();
    }
    std::vector<pollfd> set;
    while (!connections_.empty()) {
        set.clear();
        pollSet(set);
        const int r = ::poll(set.data(), set.size(), pollTimeout());
        if (r < 0 && errno != EINTR) break;
        handle(set);
    }
    connections_.clear();
}

}  // namespace harrow::remote
