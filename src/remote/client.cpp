#include "remote/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/strings.h"

namespace harrow::remote {
namespace {

// How long a logout waits for a server that does not close its side.
constexpr int kDrainMilliseconds = 10000;

// Bounds every blocking receive (and send, and connect) on `fd` that follows.
void setWaitLimit(int fd, std::chrono::milliseconds limit) {
    const auto ms = std::max<long long>(1, limit.count());
    const timeval t{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace

ClientConnection::ClientConnection(Prompts& prompts) : prompts_(prompts), localName_(hostName()) {}

ClientConnection::~ClientConnection() { disconnect(); }

bool ClientConnection::connect(const std::string& address, std::uint16_t port, Protocol protocol) {
    disconnect();
    if (address.empty()) return false;
    protocol_ = protocol;
    auto socketFailed = [&] {
        close();
        prompts_.showMessage(msg::kSocketFailed, messageText(msg::kSocketFailed));
        return false;
    };
    if (protocol == Protocol::Ipx) {
        // There is no SPX on Linux: the socket cannot be made, and that is the failure to take.
        UniqueFd spx(::socket(AF_IPX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        return socketFailed();
    }
    if (protocol != Protocol::Tcp) {
        prompts_.showMessage(0, diag::kNoNetworkProtocol);
        return false;
    }
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) return socketFailed();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return socketFailed();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return socketFailed();
    // A host that drops the connection request would otherwise hold the connect for minutes.
    setWaitLimit(fd_.get(), deadlines_.connect);
    int r;
    do {
        r = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return socketFailed();
    setWaitLimit(fd_.get(), deadlines_.reply);
    // Requests are a few bytes each and every one waits for its answer.
    const int one = 1;
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    sockaddr_in self{};
    socklen_t selfLength = sizeof self;
    char text[INET_ADDRSTRLEN] = {};
    localAddress_.clear();
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &selfLength) == 0 &&
        ::inet_ntop(AF_INET, &self.sin_addr, text, sizeof text))
        localAddress_ = text;
    reader_.clear();
    roundTrip_ = std::chrono::steady_clock::duration::max();
    return true;
}

void ClientConnection::close() {
    fd_.reset();
    reader_.clear();
    resetStream();
    plan_.clear();
}

void ClientConnection::resetStream() {
    asked_.clear();
    stale_ = 0;
    askedBytes_ = next_ = askedEnd_ = pending_ = 0;
    planAsked_ = kOffPlan;
    streamSectorBytes_ = 0;
    heldSectors_ = 0;
    readFirst_ = readEnd_ = UINT64_MAX;
    aheadBytes_ = 0;
}

void ClientConnection::disconnect() {
    if (!connected()) return;
    const auto logout = MessageHeader{MSG_LOGOUT, 0}.serialize();
    sendAll(fd_.get(), logout);
    ::shutdown(fd_.get(), SHUT_WR);
    // Whatever still comes is read and dropped, so that the server closes first and its replies
    // never meet a reset.
    std::array<std::uint8_t, 50> discard;
    pollfd p{fd_.get(), POLLIN, 0};
    while (::poll(&p, 1, kDrainMilliseconds) > 0) {
        const ssize_t n = ::recv(fd_.get(), discard.data(), discard.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    close();
}

void ClientConnection::failSend() {
    close();
    prompts_.showMessage(msg::kConnectionReset, messageText(msg::kConnectionReset));
}

void ClientConnection::failReceive() {
    close();
    prompts_.showMessage(msg::kConnectionReset, messageText(msg::kConnectionReset));
    prompts_.showMessage(msg::kClosingConnection, messageText(msg::kClosingConnection));
}

bool ClientConnection::sendMessage(std::uint8_t code, Bytes payload) {
    // The reply to this message comes after those of the reads still owed.
    if (!dropStream() || !connected()) return false;
    if (!sendAll(fd_.get(), encodeMessage(code, payload))) {
        failSend();
        return false;
    }
    return true;
}

std::optional<MessageHeader> ClientConnection::receiveHeader(std::size_t payloadLimit) {
    if (!connected()) return std::nullopt;
    std::array<std::uint8_t, MessageHeader::kSize> bytes;
    std::optional<MessageHeader> header;
    if (reader_.readExact(fd_.get(), bytes)) header = MessageHeader::parse(bytes);
    if (!header || header->length > payloadLimit) {
        failReceive();
        return std::nullopt;
    }
    return header;
}

bool ClientConnection::skipPayload(std::size_t bytes) {
    std::array<std::uint8_t, kQueryReplyBufferBytes> scratch;
    while (bytes > 0) {
        const std::size_t n = std::min(bytes, scratch.size());
        if (!reader_.readExact(fd_.get(), MutableBytes(scratch).first(n))) {
            failReceive();
            return false;
        }
        bytes -= n;
    }
    return true;
}

std::optional<ClientConnection::Reply> ClientConnection::receiveMessage(std::size_t bufferBytes) {
    const std::size_t limit = bufferBytes > MessageHeader::kSize ? bufferBytes - MessageHeader::kSize : 0;
    auto header = receiveHeader(limit);
    if (!header) return std::nullopt;
    Reply reply{header->code, std::vector<std::uint8_t>(header->length)};
    if (!reader_.readExact(fd_.get(), reply.payload)) {
        failReceive();
        return std::nullopt;
    }
    // The server is going away: the request this answers has failed, and nothing more will come.
    if (reply.code == MSG_SHUTDOWN || reply.code == MSG_CLOSED) close();
    return reply;
}

void ClientConnection::noteRoundTrip(std::chrono::steady_clock::time_point asked) {
    roundTrip_ = std::min(roundTrip_, std::chrono::steady_clock::now() - asked);
}

std::uint64_t ClientConnection::roundTripBytes() const {
    // At 200 MB/s, a little more than the links this is made for carry.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(roundTrip_).count();
    return us < 0 ? 0 : static_cast<std::uint64_t>(std::min<long long>(us, 1000000)) * 200;
}

bool ClientConnection::login(const std::string& password) {
    const auto request = LoginRequest{password, localAddress_, localName_}.serialize();
    const auto asked = std::chrono::steady_clock::now();
    if (!sendMessage(MSG_LOGIN, request)) return false;
    setWaitLimit(fd_.get(), deadlines_.login);
    auto reply = receiveMessage();
    noteRoundTrip(asked);
    if (connected()) setWaitLimit(fd_.get(), deadlines_.reply);
    if (!reply || reply->code != MSG_LOGIN_OK) {
        // The server closes a connection it refuses.
        close();
        prompts_.showMessage(msg::kWrongPassword, messageText(msg::kWrongPassword));
        return false;
    }
    server_ = ServerEntry::parse(reply->payload);
    return true;
}

std::optional<DriveInfo> ClientConnection::openDrive(const std::string& rootPath) {
    if (!dropStream()) return std::nullopt;
    const auto asked = std::chrono::steady_clock::now();
    if (!sendMessage(MSG_OPEN_DRIVE, encodeRootPath(rootPath))) return std::nullopt;
    ++generation_;
    plan_.clear();
    auto reply = receiveMessage();
    noteRoundTrip(asked);
    if (!reply || reply->code != MSG_DRIVE_OPENED || reply->payload.size() != DriveInfo::kSize) return std::nullopt;
    return DriveInfo::deserialize(reply->payload);
}

bool ClientConnection::closeDrive() {
    ++generation_;
    plan_.clear();
    if (!sendMessage(MSG_CLOSE_DRIVE)) return false;
    auto reply = receiveMessage();
    return reply && reply->code == MSG_OK;
}

int ClientConnection::driveType(const std::string& rootPath) {
    if (!sendMessage(MSG_DRIVE_TYPE, encodeRootPath(rootPath))) return 0;
    auto reply = receiveMessage();
    if (!reply || reply->code != MSG_DATA || reply->payload.size() != kDriveTypeBytes) return 0;
    return le16(reply->payload, 0);
}

std::optional<VolumeInformation> ClientConnection::volumeInformation(const std::string& rootPath) {
    if (!sendMessage(MSG_VOLUME_INFO, encodeRootPath(rootPath))) return std::nullopt;
    auto reply = receiveMessage();
    if (!reply || reply->code != MSG_DATA) return std::nullopt;
    return VolumeInformation::parse(reply->payload);
}

std::size_t ClientConnection::planExtentAt(std::uint64_t sector) const {
    if (planUsedUp_ || planSectorBytes_ != streamSectorBytes_) return kOffPlan;
    for (std::size_t i = 0; i < plan_.size(); ++i)
        if (plan_[i].first <= sector && sector - plan_[i].first <= plan_[i].count) return i;
    return kOffPlan;
}

void ClientConnection::planReads(std::span<const SectorExtent> extents, std::uint32_t bytesPerSector) {
    plan_.clear();
    for (const SectorExtent& e : extents.first(std::min(extents.size(), kMaxPlanExtents)))
        if (e.count > 0 && e.first <= UINT64_MAX - e.count) plan_.push_back(e);
    planSectorBytes_ = bytesPerSector;
    planUsedUp_ = false;
    // The requests already out may have reached the new plan: they go on along it.
    planAsked_ = planExtentAt(askedEnd_);
}

bool ClientConnection::askUpTo(std::uint64_t own, std::uint64_t wanted) {
    const std::uint64_t bps = streamSectorBytes_;
    // Once a good part of the window has come back: one send per batch of requests.
    if (pending_ >= wanted ||
        (pending_ >= own && asked_.size() > stale_ &&
         (askedBytes_ + kReadWindowBytes / 4 > kReadWindowBytes || asked_.size() + kReadWindowRequests / 4 > kReadWindowRequests)))
        return true;
    const std::uint64_t per = sectorsPerRequest(streamSectorBytes_, protocol_);
    requests_.clear();
    while (pending_ < wanted && askedBytes_ < kReadWindowBytes && asked_.size() < kReadWindowRequests) {
        std::uint64_t count = per;
        if (pending_ < own) {
            // The read's own sectors, one after another.
            count = std::min(count, own - pending_);
        } else if (planAsked_ != kOffPlan) {
            // Past them, along the plan: on at the next extent, and no further than the last.
            const SectorExtent& at = plan_[planAsked_];
            if (askedEnd_ == at.first + at.count) {
                if (planAsked_ + 1 == plan_.size()) {
                    planUsedUp_ = true;
                    break;
                }
                askedEnd_ = plan_[++planAsked_].first;
            }
            count = std::min(count, plan_[planAsked_].first + plan_[planAsked_].count - askedEnd_);
        }
        // A request whose first sector the wire cannot carry is never made.
        if (askedEnd_ > UINT32_MAX) break;
        count = std::min(count, wanted - pending_);
        const auto request = ReadSectorsRequest{static_cast<std::uint32_t>(askedEnd_), static_cast<std::uint32_t>(count)}.serialize();
        const auto header = MessageHeader{MSG_READ_SECTORS, ReadSectorsRequest::kSize}.serialize();
        requests_.insert(requests_.end(), header.begin(), header.end());
        requests_.insert(requests_.end(), request.begin(), request.end());
        asked_.push_back({askedEnd_, static_cast<std::uint32_t>(count)});
        askedEnd_ += count;
        askedBytes_ += count * bps;
        pending_ += count;
        // A read that runs on past its extent has left the plan.
        if (planAsked_ != kOffPlan && askedEnd_ > plan_[planAsked_].first + plan_[planAsked_].count) planAsked_ = kOffPlan;
    }
    if (requests_.empty()) return true;
    if (!sendAll(fd_.get(), requests_)) {
        failSend();
        return false;
    }
    return true;
}

std::optional<std::uint64_t> ClientConnection::streamSkip(std::uint64_t first) const {
    std::uint64_t skip = 0;
    if (heldSectors_ > 0) {
        if (next_ <= first && first - next_ < heldSectors_) return first - next_;
        skip = heldSectors_;
    }
    for (std::size_t i = stale_; i < asked_.size(); ++i) {
        const Asked& a = asked_[i];
        if (a.first <= first && first - a.first < a.count) return skip + (first - a.first);
        skip += a.count;
    }
    if (first == askedEnd_) return skip;
    return std::nullopt;
}

std::optional<std::uint64_t> ClientConnection::streamAt() const {
    if (heldSectors_ > 0) return next_;
    if (asked_.size() > stale_) return asked_[stale_].first;
    return std::nullopt;
}

bool ClientConnection::dropStale() {
    while (stale_ > 0) {
        const std::size_t bytes = asked_.front().count * std::size_t{streamSectorBytes_};
        auto header = receiveHeader(std::max(bytes, kQueryReplyBufferBytes - MessageHeader::kSize));
        if (!header || !skipPayload(header->length)) return false;
        if (header->code == MSG_SHUTDOWN || header->code == MSG_CLOSED) {
            close();
            return false;
        }
        asked_.pop_front();
        askedBytes_ -= bytes;
        --stale_;
    }
    return true;
}

std::optional<std::uint64_t> ClientConnection::takeSectors(std::uint64_t most, std::uint8_t* into, bool& failed) {
    const std::size_t bps = streamSectorBytes_;
    if (heldSectors_ == 0) {
        if (!dropStale()) return std::nullopt;
        const Asked asked = asked_.front();
        const std::size_t bytes = asked.count * bps;
        auto header = receiveHeader(std::max(bytes, kQueryReplyBufferBytes - MessageHeader::kSize));
        if (!header) return std::nullopt;
        asked_.pop_front();
        askedBytes_ -= bytes;
        next_ = asked.first;
        if (header->code != MSG_DATA || header->length != bytes) {
            next_ += asked.count;
            if (!skipPayload(header->length)) return std::nullopt;
            if (header->code == MSG_SHUTDOWN || header->code == MSG_CLOSED) {
                close();
                return std::nullopt;
            }
            // MSG_FAIL: the server could not read these sectors, or one of them, which may lie
            // past those wanted.
            pending_ -= asked.count;
            if (asked.count > most) return 0;
            if (into) std::memset(into, 0, bytes);
            failed = true;
            return asked.count;
        }
        // A reply wanted whole goes straight to its place, or is dropped unread; one wanted in
        // part is held for the reads to come.
        const bool whole = asked.count <= most;
        if (!whole) held_.resize(bytes);
        const bool received = whole && !into ? skipPayload(bytes)
                                             : reader_.readExact(fd_.get(), whole ? MutableBytes(into, bytes) : MutableBytes(held_));
        if (!received) {
            if (connected()) failReceive();
            return std::nullopt;
        }
        if (whole) {
            next_ += asked.count;
            pending_ -= asked.count;
            return asked.count;
        }
        heldAt_ = 0;
        heldSectors_ = asked.count;
    }
    const std::uint64_t n = std::min(most, heldSectors_);
    const std::size_t bytes = static_cast<std::size_t>(n * bps);
    if (into) std::memcpy(into, held_.data() + heldAt_, bytes);
    heldAt_ += bytes;
    heldSectors_ -= n;
    next_ += n;
    pending_ -= n;
    return n;
}

void ClientConnection::restartStream(std::uint64_t first, std::uint32_t bytesPerSector) {
    if (bytesPerSector != streamSectorBytes_) {
        // The replies still owed are counted in the old sector size.
        dropStream();
    }
    stale_ = asked_.size();
    heldSectors_ = 0;
    pending_ = 0;
    next_ = askedEnd_ = first;
    streamSectorBytes_ = bytesPerSector;
    planAsked_ = planExtentAt(first);
    if (planAsked_ == kOffPlan) planUsedUp_ = true;
}

bool ClientConnection::dropStream() {
    stale_ = asked_.size();
    const bool dropped = dropStale();
    resetStream();
    return dropped && connected();
}

ReadResult ClientConnection::readSectors(std::uint64_t first, std::uint32_t bytesPerSector, MutableBytes out) {
    if (bytesPerSector == 0) return ReadResult::Unreadable;
    const std::uint64_t count = std::min<std::uint64_t>(out.size() / bytesPerSector, UINT64_MAX - first);
    const std::uint64_t end = first + count;
    bool unreadable = out.size() % bytesPerSector != 0;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(count * bytesPerSector), out.end(), 0);
    auto rest = [&](std::uint64_t from) { return out.subspan(static_cast<std::size_t>((from - first) * bytesPerSector)); };
    auto lost = [&](std::uint64_t from) {
        std::ranges::fill(rest(from), 0);
        return ReadResult::Lost;
    };
    if (!connected()) return lost(first);
    if (count == 0) return unreadable ? ReadResult::Unreadable : ReadResult::Done;

    // A read among the sectors already asked for skips to its first, dropping those before it:
    // one that goes on from where the last one ended, one a little further on (reads with gaps
    // between them, such as records spread over the table, find theirs among the sectors read
    // ahead over the gaps), one where the plan goes on. Any other starts afresh; the replies
    // still owed are taken and dropped.
    const bool sameSize = bytesPerSector == streamSectorBytes_;
    bool failed = false;
    std::optional<std::uint64_t> skip = sameSize ? streamSkip(first) : std::nullopt;
    for (std::uint64_t left = skip.value_or(0); left > 0;) {
        const auto n = takeSectors(left, nullptr, failed);
        if (!n) return lost(first);
        if (*n == 0) {
            skip.reset();
            break;
        }
        left -= *n;
    }
    if (!skip) restartStream(first, bytesPerSector);
    if (!connected()) return lost(first);

    // How far to read ahead. Along a plan, by what the link carries in a round trip: the reads
    // are known to come. Otherwise a read that follows on from the last one, or nearly so,
    // continues a run, which is read ahead by twice what its last two reads span, doubling while
    // it goes on: a read that leaves the run throws away what was read ahead of it. Past a
    // failure the disk may be failing: nothing is asked for before it is wanted.
    const std::uint64_t linkBytes = roundTripBytes();
    const std::uint64_t limit = std::clamp(linkBytes, kMinReadAheadBytes, kReadAheadBytes);
    const bool afterFailure = readEnd_ == UINT64_MAX && readFirst_ != UINT64_MAX;
    const bool followsOn = sameSize && readEnd_ <= first &&
                           first - readEnd_ <= std::min(linkBytes, kReadAheadGapBytes) / bytesPerSector;
    if (planAsked_ != kOffPlan && !afterFailure)
        aheadBytes_ = limit;
    else if (followsOn)
        aheadBytes_ = std::min(limit, std::max(2 * aheadBytes_, 2 * (end - readFirst_) * bytesPerSector));
    else
        aheadBytes_ = 0;
    std::uint64_t ahead = aheadBytes_ / bytesPerSector;

    failed = false;
    for (std::uint64_t at = first; at < end;) {
        const std::uint64_t own = end - at;
        if (!askUpTo(own, own + ahead)) return lost(at);
        const std::optional<std::uint64_t> next = streamAt();
        if (!next) {
            // The window is taken by replies of a stream given up: their room is made first.
            if (stale_ > 0) {
                if (!dropStale()) return lost(at);
                continue;
            }
            // The rest lies where the wire cannot reach.
            std::ranges::fill(rest(at), 0);
            unreadable = true;
            break;
        }
        const std::optional<std::uint64_t> n = *next == at ? takeSectors(own, rest(at).data(), failed) : 0;
        if (!n) return lost(at);
        if (*n == 0) {
            // A failed request read ahead past this read, or a stream gone elsewhere: the rest
            // is asked for as it is wanted, so that a failure counts against the sectors it was
            // about.
            restartStream(at, bytesPerSector);
            aheadBytes_ = ahead = 0;
            continue;
        }
        at += *n;
    }
    unreadable = unreadable || failed;
    readFirst_ = first;
    readEnd_ = unreadable ? UINT64_MAX : end;
    return unreadable ? ReadResult::Unreadable : ReadResult::Done;
}

}  // namespace harrow::remote
