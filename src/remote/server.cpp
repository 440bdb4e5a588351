#include "remote/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/strings.h"
#include "remote/stream_io.h"

namespace harrow::remote {
namespace {

using Clock = std::chrono::steady_clock;

// Request bytes read ahead per connection; a pipelining client sends many small requests.
constexpr std::size_t kInputBufferBytes = 64 * 1024;
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

using Message = ReplyBytes;
// Replies gathered into one send; more would be more than a send takes at once anyway.
constexpr std::size_t kSendPieces = 64;
// A reply this small joins the one before it rather than taking a piece of a send.
constexpr std::size_t kSmallReply = 1024;
// A worker hands its replies to the loop when nothing more is asked of it, or when they come to
// this much: the loop sends each handover in one piece, and a wake-up and a send per reply
// would cost more than the reading.
constexpr std::size_t kHandoverBytes = 256 * 1024;
// What a handover's buffer is made with: room for the replies that reach kHandoverBytes, the
// last one included when it is of the size clients ask for. Sent buffers up to this size go back
// to the worker to be filled again; larger ones, grown by requests of a megabyte, are freed.
constexpr std::size_t kHandoverBuffer = kHandoverBytes + 16 * 1024;
// ... or, before it reads again, when the first of them has waited this long: a client that reads
// ahead keeps the queue full, and replies already read must not wait behind the slow sectors of
// one later request after another (a damaged disk can take many seconds for each) until the
// client's reply deadline passes. They still wait behind one.
constexpr std::chrono::milliseconds kHandoverDelay{20};

// Makes `m` `size` bytes long, the new ones unset. Moves what it holds in one piece when it
// must grow: the allocator's own construct() would have the vector move it byte by byte.
void resizeMessage(Message& m, std::size_t size) {
    if (size > m.capacity()) {
        Message bigger;
        bigger.reserve(std::max(size, 2 * m.capacity()));
        bigger.resize(m.size());
        if (!m.empty()) std::memcpy(bigger.data(), m.data(), m.size());
        m.swap(bigger);
    }
    m.resize(size);
}

void appendBytes(Message& out, Bytes bytes) {
    const std::size_t at = out.size();
    resizeMessage(out, at + bytes.size());
    if (!bytes.empty()) std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

void appendMessage(Message& out, std::uint8_t code, Bytes payload = {}) {
    appendBytes(out, MessageHeader{code, static_cast<std::uint32_t>(payload.size())}.serialize());
    appendBytes(out, payload);
}

// Whether the connection waits on its client: a message begun, replies not taken, or the end of
// the connection. Only then does its stall clock run; a wait on its own worker is the server's.
bool waitsOnClient(const CClientSocket& c) {
    return c.pendingOut() > 0 || c.phase != CClientSocket::Phase::Serving || (!c.in.empty() && c.inFlight == 0);
}

// The volume serial number as the boot sector holds it.
std::uint32_t volumeSerial(Bytes boot, const DriveInfo& info) {
    switch (info.fsType) {
        case FsType::Ntfs: return le32(boot, 0x48);
        case FsType::Fat32: return le32(boot, 0x43);
        case FsType::Exfat: return le32(boot, 0x64);
        case FsType::Fat1x:
        default: return le32(boot, 0x27);
    }
}

// The drive code speaks through Prompts; on a worker its words are kept with the reply, for the
// loop to log, and its questions, which nobody is there to answer, get the cautious answer.
class WorkerPrompts : public Prompts {
public:
    void showMessage(int id, const std::string& text, MsgIcon) override { lines.emplace_back(id, text); }
    bool askYesNo(int id, const std::string& text) override {
        lines.emplace_back(id, text);
        return false;
    }
    ReplaceAnswer askOverwrite(const OverwriteQuestion&) override { return ReplaceAnswer::Cancel; }
    FatChoice chooseFat(int, int) override { return {}; }

    std::vector<std::pair<int, std::string>> lines;
};

// What a worker did for one request; its reply is among the bytes handed over with it.
struct Finished {
    DeviceJob job;
    std::vector<std::pair<int, std::string>> log;
    std::uint32_t openSectorBytes = 0;  // of the drive open after it; 0: none
};

// Requests a worker finished, as the loop takes them: their replies one after another, in
// pieces of about a handover each.
struct Handover {
    std::vector<Message> replies;
    std::vector<Finished> finished;
};

}  // namespace

// The thread that reads the devices for one connection, a request at a time, in the order they
// came. It alone touches the connection's drive; the loop sees only finished replies.
class DriveWorker {
public:
    // Throws std::system_error when no thread can be started.
    DriveWorker(SourceFactory& sources, int finished) : sources_(sources), finished_(finished), thread_([this] { run(); }) {}
    ~DriveWorker() {
        release();
        thread_.join();
    }
    DriveWorker(const DriveWorker&) = delete;
    DriveWorker& operator=(const DriveWorker&) = delete;

    // Jobs are posted in a batch and the thread woken once after: woken at the first, it would
    // take the processor from the loop that is still posting the rest.
    void post(const DeviceJob& job) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(job);
    }
    void wake() { wanted_.notify_one(); }
    // What is finished. `spare`, a buffer already sent, is taken in exchange to hold replies
    // to come: in a steady stream no reply buffer is allocated, and none is copied.
    Handover take(Message& spare) {
        std::lock_guard lock(mutex_);
        Handover taken;
        std::swap(taken, done_);
        if (spare.capacity() > 0 && spares_.size() < kSpares) {
            spares_.push_back(std::move(spare));
            spare = {};
        }
        return taken;
    }
    // Drops what is not begun; what is being read is finished and thrown away, then the thread
    // closes the drive and ends.
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
            jobs_.clear();
            done_ = {};
        }
        wanted_.notify_one();
    }
    bool ended() const { return ended_.load(std::memory_order_acquire); }

private:
    void run();
    // Serves `job`, its reply appended to `replies`.
    Finished serve(const DeviceJob& job, Message& replies);
    void readSectors(const DeviceJob& job, Message& replies);
    VolumeInformation volumeInformation(char letter);
    void signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(finished_, &one, sizeof one);
    }

    SourceFactory& sources_;
    const int finished_;
    WorkerPrompts prompts_;
    std::unique_ptr<CDrive> drive_;
    std::mutex mutex_;
    std::condition_variable wanted_;
    std::deque<DeviceJob> jobs_;
    Handover done_;
    static constexpr std::size_t kSpares = 2;
    std::vector<Message> spares_;  // emptied buffers, for handovers to come
    bool released_ = false;
    std::atomic<bool> ended_{false};
    std::thread thread_;  // last: it starts on the members above
};

void DriveWorker::run() {
    struct {
        Message replies;
        std::vector<Finished> finished;
    } pending;  // finished, not handed over yet
    std::chrono::steady_clock::time_point pendingSince;  // when the first of them was asked for
    pending.replies.reserve(kHandoverBuffer);
    for (;;) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            if (released_) break;
            if (!pending.finished.empty() && (jobs_.empty() || pending.replies.size() >= kHandoverBytes ||
                                              std::chrono::steady_clock::now() - pendingSince >= kHandoverDelay)) {
                // One word per handover that finds the loop with nothing to take.
                wake = done_.finished.empty();
                done_.replies.push_back(std::move(pending.replies));
                pending.replies = {};
                if (!spares_.empty()) {
                    pending.replies = std::move(spares_.back());
                    spares_.pop_back();
                }
                if (pending.replies.capacity() == 0) pending.replies.reserve(kHandoverBuffer);
                done_.finished.insert(done_.finished.end(), std::make_move_iterator(pending.finished.begin()),
                                      std::make_move_iterator(pending.finished.end()));
                pending.finished.clear();
            }
        }
        if (wake) signal();
        DeviceJob job;
        {
            std::unique_lock lock(mutex_);
            wanted_.wait(lock, [&] { return released_ || !jobs_.empty(); });
            if (released_) break;
            job = jobs_.front();
            jobs_.pop_front();
        }
        if (pending.finished.empty()) pendingSince = std::chrono::steady_clock::now();
        pending.finished.push_back(serve(job, pending.replies));
    }
    drive_.reset();
    ended_.store(true, std::memory_order_release);
    signal();
}

Finished DriveWorker::serve(const DeviceJob& job, Message& replies) {
    Finished f{job, {}, 0};
    switch (job.code) {
        case MSG_OPEN_DRIVE:
            drive_.reset();
            if (job.letter) {
                auto drive = std::make_unique<CDrive>(prompts_, sources_);
                // The client reads the table itself; the server only needs the geometry.
                drive->setLoadMftOnOpen(false);
                if (drive->open(std::string(1, *job.letter) + ":\\", DriveKind::Local)) drive_ = std::move(drive);
            }
            if (drive_)
                appendMessage(replies, MSG_DRIVE_OPENED, drive_->info().serialize());
            else
                appendMessage(replies, MSG_FAIL);
            break;
        case MSG_CLOSE_DRIVE:
            drive_.reset();
            appendMessage(replies, MSG_OK);
            break;
        case MSG_READ_SECTORS:
            readSectors(job, replies);
            break;
        case MSG_VOLUME_INFO:
            appendMessage(replies, MSG_DATA, volumeInformation(job.letter.value_or(0)).serialize());
            break;
        default:
            break;
    }
    f.openSectorBytes = drive_ ? drive_->info().bytesPerSector : 0;
    f.log = std::exchange(prompts_.lines, {});
    return f;
}

void DriveWorker::readSectors(const DeviceJob& job, Message& replies) {
    const std::uint64_t bytes = std::uint64_t{job.count} * (drive_ ? drive_->info().bytesPerSector : 0);
    // The loop sized the reply by the drive it knew of; a read that would outgrow it fails.
    if (!drive_ || MessageHeader::kSize + bytes > job.replyBytes) {
        appendMessage(replies, MSG_FAIL);
        return;
    }
    // The sectors are read straight into their place among the replies.
    const std::size_t at = replies.size();
    appendBytes(replies, MessageHeader{MSG_DATA, static_cast<std::uint32_t>(bytes)}.serialize());
    resizeMessage(replies, at + MessageHeader::kSize + bytes);
    if (!drive_->readSectors(MutableBytes(replies).subspan(at + MessageHeader::kSize), job.first, job.count)) {
        replies.resize(at);
        appendMessage(replies, MSG_FAIL);
    }
}

VolumeInformation DriveWorker::volumeInformation(char letter) {
    VolumeInformation volume;
    // The table is loaded for the label alone: an NTFS volume keeps it in a file record.
    CDrive drive(prompts_, sources_);
    if (drive.open(std::string(1, letter) + ":\\", DriveKind::Local)) {
        const DriveInfo& info = drive.info();
        std::vector<std::uint8_t> boot(info.bytesPerSector);
        if (drive.readSectors(boot, 0, 1)) volume.serial = volumeSerial(boot, info);
        volume.name = info.label;
        // Windows names FAT12 and FAT16 alike.
        volume.fsName = info.fsType == FsType::Fat1x ? "FAT" : info.fsName;
        volume.maxComponentLength = kMaxComponentLength;
        volume.flags = kVolumeFlags;
    }
    return volume;
}

CClientSocket::~CClientSocket() = default;

CServerDoc::CServerDoc(ServerObserver& observer, DriveTable& drives, SourceFactory& sources)
    : observer_(observer), drives_(drives), sources_(sources) {}

CServerDoc::~CServerDoc() = default;

bool CServerDoc::startUp(ServerOptions options) {
    options_ = std::move(options);
    activity_ = 0;
    host_.computerName = hostName().substr(0, ServerEntry::kComputerNameBytes - 1);
    // Bound to every address, whether by no address or by 0.0.0.0, the server names this
    // machine's own to clients: 0.0.0.0 is no address to connect to.
    const bool everywhere = options_.bindAddress.empty() || options_.bindAddress == "0.0.0.0";
    host_.address = everywhere ? hostAddress(hostName()) : options_.bindAddress;
    if (!finished_.valid()) finished_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!finished_.valid()) return false;

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

std::size_t CServerDoc::workerCount() const {
    const auto working = std::count_if(connections_.begin(), connections_.end(), [](const auto& c) { return c->worker != nullptr; });
    return released_.size() + static_cast<std::size_t>(working);
}

void CServerDoc::pollSet(std::vector<pollfd>& into) const {
    if (finished_.valid()) into.push_back({finished_.get(), POLLIN, 0});
    // A worker finishing for a connection that is gone still holds a thread and a drive.
    // Past the caps a connection is still accepted, to take an idle one's place or to be told
    // no at once; only without a descriptor to take it with is the listening socket left alone.
    if (listening_.valid() && !acceptBlocked_) into.push_back({listening_.get(), POLLIN, 0});
    if (discovery_.valid()) into.push_back({discovery_.get(), POLLIN, 0});
    using Phase = CClientSocket::Phase;
    for (const auto& c : connections_) {
        short events = 0;
        // While its worker reads, what the client sends more is read when the worker's replies
        // come: one wake-up for both.
        const bool reading = c->phase == Phase::Serving ? c->pendingOut() < kOutputHighWater
                                                        : c->phase == Phase::Leaving && c->sendingShut;
        if (reading && !c->peerClosed) events |= POLLIN;
        if (c->pendingOut() > 0) events |= POLLOUT;
        into.push_back({c->fd.get(), events, 0});
    }
}

int CServerDoc::pollTimeout() const {
    std::optional<Clock::time_point> due;
    auto until = [&](Clock::time_point at) {
        if (!due || at < *due) due = at;
    };
    for (const auto& c : connections_) {
        if (waitsOnClient(*c)) until(c->lastProgress + options_.stallLimit);
        if (!c->loggedIn && c->phase == CClientSocket::Phase::Serving) until(c->accepted + options_.loginLimit);
    }
    for (const auto& [source, f] : loginFailures_)
        if (f.refusedQuietly > 0) until(f.refusedUntil);
    if (!due) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now()).count();
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
        if (p.fd == finished_.get()) {
            collectFinished();
            continue;
        }
        auto it = std::find_if(connections_.begin(), connections_.end(), [&](const auto& c) { return c->fd.get() == p.fd; });
        if (it != connections_.end() && !service(**it, p.revents)) remove(**it);
    }
    dropStalled();
    logQuietRefusalsDue();
}

Clock::time_point CServerDoc::now() const { return options_.clock ? options_.clock() : Clock::now(); }

void CServerDoc::acceptPending() {
    for (;;) {
        UniqueFd fd(::accept4(listening_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // The listening socket would be ready again at once, for ever: it waits for a
            // connection to go and give its descriptor back.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) acceptBlocked_ = true;
            return;
        }
        adopt(std::move(fd));
    }
}

void CServerDoc::adopt(UniqueFd fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    std::string source;
    if (::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET)
        source = addressText(peer.sin_addr);
    // Refused: closed at once, which the client hears at once, rather than left in the backlog.
    if (!admit(source)) return;
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<CClientSocket>();
    c->fd = std::move(fd);
    c->source = std::move(source);
    c->accepted = c->lastProgress = now();
    connections_.push_back(std::move(c));
    observer_.connectionsChanged(connections_.size());
}

bool CServerDoc::admit(const std::string& source) {
    auto waiting = [](const CClientSocket& c) { return !c.loggedIn && c.phase == CClientSocket::Phase::Serving; };
    // The list is in order of acceptance: the first found is the oldest.
    auto oldestWaiting = [&](bool ofSource) -> CClientSocket* {
        for (const auto& c : connections_)
            if (waiting(*c) && (!ofSource || c->source == source)) return c.get();
        return nullptr;
    };
    // Lets the oldest go (of `source`, or of any address) to make room; says the first time why.
    auto giveWay = [&](bool ofSource, bool& said, const std::string& why) {
        if (!said) logServer(0, why);
        said = true;
        CClientSocket* oldest = oldestWaiting(ofSource);
        if (oldest) remove(*oldest);
        return oldest != nullptr;
    };
    const auto fromSource = static_cast<std::size_t>(std::count_if(
        connections_.begin(), connections_.end(), [&](const auto& c) { return waiting(*c) && c->source == source; }));
    if (fromSource >= options_.maxPerAddress &&
        !giveWay(true, saidAddressCap_,
                 "[" + source + "] " + std::to_string(fromSource) +
                     " connections not logged in: from now on a new one from an address with as many takes the "
                     "place of its oldest"))
        return false;
    // A worker still finishing for a connection that is gone holds a thread and a drive.
    if (connections_.size() + released_.size() >= options_.maxConnections &&
        !giveWay(false, saidConnectionCap_,
                 std::to_string(options_.maxConnections) +
                     " connections: from now on a new one takes the place of the oldest not logged in, or is "
                     "closed when all have logged in"))
        return false;
    return true;
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
        // Only the request itself, and only as often as a client could want it.
        const auto want = discoveryRequest();
        if (static_cast<std::size_t>(n) != want.size() || !std::equal(want.begin(), want.end(), request.begin())) continue;
        if (from.sin_family != AF_INET || !mayAnswerDiscovery(from.sin_addr.s_addr)) continue;
        const auto answer = discoveryAnswer(host_);
        ::sendto(discovery_.get(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

bool CServerDoc::mayAnswerDiscovery(std::uint32_t address) {
    auto& a = discoveryAnswers_;
    const auto t = now();
    if (t - a.second >= std::chrono::seconds(1) || t < a.second) {
        a.second = t;
        a.answered.clear();
    }
    if (a.answered.size() >= kDiscoveryAnswersPerSecond || std::ranges::find(a.answered, address) != a.answered.end())
        return false;
    a.answered.push_back(address);
    return true;
}

void CServerDoc::receive(CClientSocket& c) {
    while (!c.peerClosed && c.in.size() < kInputBufferBytes) {
        const std::size_t had = c.in.size();
        c.in.resize(kInputBufferBytes);
        const IoStep step = receiveSome(c.fd.get(), MutableBytes(c.in).subspan(had));
        c.in.resize(had + step.bytes);
        if (step.bytes > 0) c.lastProgress = now();
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
    if (events & (POLLIN | POLLHUP | POLLERR)) receive(c);
    // A socket that hung up or failed takes no more replies: what its worker reads is for nobody,
    // and waiting for it would only see the same hang-up again and again.
    if (c.inFlight > 0 && (events & (POLLHUP | POLLERR))) {
        logServer(servermsg::kSocketReadError, serverMessageText(servermsg::kSocketReadError));
        return false;
    }
    return advance(c);
}

bool CServerDoc::advance(CClientSocket& c) {
    using Phase = CClientSocket::Phase;
    for (;;) {
        if (!serveBuffered(c)) return false;
        const std::size_t owed = c.pendingOut();
        if (!flush(c)) return false;
        // More is served only when sending made room for it.
        if (c.phase != Phase::Serving || c.pendingOut() == owed || !wholeRequestBuffered(c)) break;
    }
    switch (c.phase) {
        case Phase::Serving:
            // The client closed its side (or the socket failed): what it sent before is answered
            // first, then the connection ends as a failed receive.
            if (c.peerClosed && c.pendingOut() == 0 && c.inFlight == 0) {
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
    std::size_t at = 0, posted = 0;
    bool keep = true;
    while (keep && c.phase == CClientSocket::Phase::Serving && c.pendingOut() + c.inFlightBytes < kOutputHighWater &&
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
        const Bytes payload = rest.subspan(MessageHeader::kSize, header->length);
        if (const auto job = deviceJob(c, header->code, payload)) {
            if (c.inFlight > 0 && (c.inFlight >= kMaxInFlight ||
                                   c.pendingOut() + c.inFlightBytes + job->replyBytes > kOutputHighWater))
                break;
            posted += dispatch(c, *job, payload);
        } else {
            // Its reply goes after those the worker is making.
            if (c.inFlight > 0) break;
            keep = serve(c, header->code, payload);
        }
        at += MessageHeader::kSize + header->length;
    }
    if (posted > 0) c.worker->wake();
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
        std::array<iovec, kSendPieces> pieces;
        std::size_t count = 0, skip = c.outSent;
        for (auto it = c.out.begin(); it != c.out.end() && count < pieces.size(); ++it, skip = 0)
            pieces[count++] = {it->data() + skip, it->size() - skip};
        msghdr message{};
        message.msg_iov = pieces.data();
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(c.fd.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            logServer(servermsg::kSocketSendError, serverMessageText(servermsg::kSocketSendError));
            return false;
        }
        if (n <= 0) break;
        c.outSent += static_cast<std::size_t>(n);
        while (!c.out.empty() && c.outSent >= c.out.front().size()) {
            c.outSent -= c.out.front().size();
            c.outBytes -= c.out.front().size();
            if (c.spare.capacity() == 0 && c.out.front().capacity() == kHandoverBuffer) {
                c.spare = std::move(c.out.front());
                c.spare.clear();
            }
            c.out.pop_front();
        }
        c.lastProgress = now();
    }
    return true;
}

void CServerDoc::reply(CClientSocket& c, std::uint8_t code, Bytes payload) {
    Message m;
    appendMessage(m, code, payload);
    queueReply(c, std::move(m));
}

void CServerDoc::queueReply(CClientSocket& c, Message reply) {
    c.outBytes += reply.size();
    if (reply.size() <= kSmallReply && !c.out.empty() && c.out.back().size() <= kSmallReply) {
        appendBytes(c.out.back(), reply);
    } else if (reply.capacity() / 2 > reply.size() && reply.capacity() - reply.size() > kSmallReply) {
        // A handover's buffer is made for a quarter megabyte. Waiting with one reply in it, it
        // would hold all of that for what the high-water mark counts as a few bytes; for a client
        // that reads nothing, one such buffer per request. Its reply waits in a buffer its size.
        Message exact;
        resizeMessage(exact, reply.size());
        if (!reply.empty()) std::memcpy(exact.data(), reply.data(), reply.size());
        if (c.spare.capacity() == 0 && reply.capacity() == kHandoverBuffer) {
            c.spare = std::move(reply);
            c.spare.clear();
        }
        c.out.push_back(std::move(exact));
    } else {
        c.out.push_back(std::move(reply));
    }
}

std::optional<char> CServerDoc::servedLetter(Bytes rootPath) const {
    // Only the letters of the drive table are served: a path of any other form would name a
    // file of this machine.
    const auto letter = letterOfRootPath(parseRootPath(rootPath));
    return letter && drives_.find(*letter) ? letter : std::nullopt;
}

std::optional<DeviceJob> CServerDoc::deviceJob(const CClientSocket& c, std::uint8_t code, Bytes payload) const {
    DeviceJob job{code, std::nullopt, 0, 0, MessageHeader::kSize};
    switch (code) {
        case MSG_CLOSE_DRIVE:
            // Without a worker no drive was ever opened.
            return c.worker ? std::optional(job) : std::nullopt;
        case MSG_OPEN_DRIVE:
            job.letter = servedLetter(payload);
            // An open of no drive still closes the open one, which is the worker's.
            if (!c.loggedIn || (!job.letter && !c.worker)) return std::nullopt;
            job.replyBytes += DriveInfo::kSize;
            return job;
        case MSG_VOLUME_INFO:
            job.letter = servedLetter(payload);
            if (!c.loggedIn || !job.letter) return std::nullopt;
            job.replyBytes += VolumeInformation::kSize;
            return job;
        case MSG_READ_SECTORS: {
            const auto request = ReadSectorsRequest::parse(payload);
            // While an open or close is in flight the sector size is not known: the read waits
            // on the loop until it is.
            if (!c.loggedIn || !request || c.driveChanges > 0 || c.sectorBytes == 0) return std::nullopt;
            const std::uint64_t bytes = std::uint64_t{request->count} * c.sectorBytes;
            if (bytes > kMaxReadReplyBytes) return std::nullopt;
            job.first = request->first;
            job.count = request->count;
            job.replyBytes += bytes;
            return job;
        }
        default:
            return std::nullopt;
    }
}

bool CServerDoc::dispatch(CClientSocket& c, const DeviceJob& job, Bytes payload) {
    if (job.code == MSG_OPEN_DRIVE) noteOpen(c, payload);
    if (!c.worker) {
        try {
            c.worker = std::make_unique<DriveWorker>(sources_, finished_.get());
        } catch (const std::system_error&) {
            // No thread to read with (the process is at its limit): the request fails as a
            // device that cannot be read does, and the connection stays.
            if (job.code == MSG_VOLUME_INFO)
                reply(c, MSG_DATA, VolumeInformation{}.serialize());
            else
                reply(c, job.code == MSG_CLOSE_DRIVE ? MSG_OK : MSG_FAIL);
            return false;
        }
    }
    if (job.code == MSG_OPEN_DRIVE || job.code == MSG_CLOSE_DRIVE) {
        ++c.driveChanges;
        c.sectorBytes = 0;
    }
    c.worker->post(job);
    ++c.inFlight;
    c.inFlightBytes += job.replyBytes;
    setActivity(activity_ + 1);
    return true;
}

void CServerDoc::collectFinished() {
    // Read before the replies are taken: a word written after this read wakes the next poll.
    std::uint64_t words;
    while (::read(finished_.get(), &words, sizeof words) < 0 && errno == EINTR) {
    }
    if (std::erase_if(released_, [](const auto& w) { return w->ended(); }) > 0) acceptBlocked_ = false;
    std::vector<CClientSocket*> gone;
    for (const auto& c : connections_) {
        if (!c->worker) continue;
        Handover taken = c->worker->take(c->spare);
        if (taken.finished.empty()) continue;
        for (const Finished& f : taken.finished) {
            for (const auto& [id, text] : f.log) observer_.log(id, text);
            --c->inFlight;
            c->inFlightBytes -= f.job.replyBytes;
            if (f.job.code == MSG_OPEN_DRIVE || f.job.code == MSG_CLOSE_DRIVE) {
                if (--c->driveChanges == 0) c->sectorBytes = f.openSectorBytes;
                // The worker closed the drive it had before anything else.
                if (c->countedOpen) setActivity(activity_ - 1);
                c->countedOpen = f.openSectorBytes != 0;
                if (c->countedOpen) setActivity(activity_ + 1);
            }
            setActivity(activity_ - 1);
        }
        // The client was owed nothing while the worker read: its stall clock starts now.
        if (c->pendingOut() == 0) c->lastProgress = now();
        for (Message& replies : taken.replies) queueReply(*c, std::move(replies));
        if (!advance(*c)) gone.push_back(c.get());
    }
    for (CClientSocket* c : gone) remove(*c);
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
            // Here only when no drive was ever opened: a close is otherwise the worker's.
            reply(c, MSG_OK);
            break;
        case MSG_OPEN_DRIVE:
        case MSG_READ_SECTORS:
        case MSG_DRIVE_TYPE:
        case MSG_VOLUME_INFO:
            // Without the password nobody reads a disk of this machine, nor learns which it has.
            if (!c.loggedIn) {
                reply(c, MSG_FAIL);
            } else if (code == MSG_DRIVE_TYPE) {
                std::array<std::uint8_t, kDriveTypeBytes> type{};
                storeLe(MutableBytes(type), 0, static_cast<std::uint16_t>(driveTypeOf(parseRootPath(payload))));
                reply(c, MSG_DATA, type);
            } else if (code == MSG_VOLUME_INFO) {
                // No drive of the table: the answer of a query that found nothing.
                reply(c, MSG_DATA, VolumeInformation{}.serialize());
            } else {
                // An open of no drive, or a read with no drive open or too large for a reply.
                if (code == MSG_OPEN_DRIVE) noteOpen(c, payload);
                reply(c, MSG_FAIL);
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
    // Refused while its address is: the password is not even looked at, so guesses sent then
    // are lost, however many connections they come on.
    LoginFailures* failures = failuresOf(c.source);
    if (failures && now() < failures->refusedUntil) {
        ++failures->refusedQuietly;
        reply(c, MSG_FAIL);
        keep = false;
        return;
    }
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
        noteFailedLogin(c.source, formatServerMessage(servermsg::kIllegalLogin, address, port));
        keep = false;
        return;
    }
    if (failures) loginFailures_.erase(c.source);
    std::copy(payload.begin(), payload.end(), c.login.begin());
    c.loggedIn = true;
    reply(c, MSG_LOGIN_OK, host_.serialize());
    logServer(servermsg::kLogin, formatServerMessage(servermsg::kLogin, address, port));
    c.peerAddress = address;
    c.peerPort = port;
}

LoginFailures* CServerDoc::failuresOf(const std::string& source) {
    const auto it = loginFailures_.find(source);
    if (it == loginFailures_.end()) return nullptr;
    if (now() >= it->second.refusedUntil) logQuietRefusals(source, it->second);
    return &it->second;
}

void CServerDoc::noteFailedLogin(const std::string& source, const std::string& text) {
    logServer(servermsg::kIllegalLogin, text);
    const auto t = now();
    auto it = loginFailures_.find(source);
    if (it == loginFailures_.end()) {
        if (loginFailures_.size() >= kMaxFailingAddresses) {
            auto oldest = std::ranges::min_element(loginFailures_, {}, [](const auto& e) { return e.second.last; });
            logQuietRefusals(oldest->first, oldest->second);
            loginFailures_.erase(oldest);
        }
        it = loginFailures_.emplace(source, LoginFailures{}).first;
    }
    LoginFailures& f = it->second;
    // A few passwords mistyped hours apart do not add up.
    if (f.failures > 0 && t - f.last >= std::chrono::hours(1)) f.failures = 0;
    f.last = t;
    if (++f.failures < kFreeLoginFailures) return;
    const unsigned doublings = std::min(f.failures - kFreeLoginFailures, 6u);
    const auto refusal = std::min<std::chrono::seconds>(kFirstRefusal * (1u << doublings), kLongestRefusal);
    f.refusedUntil = t + refusal;
    logServer(0, "[" + source + "] " + std::to_string(f.failures) + " failed logins: logins from this address are refused for " +
                     std::to_string(refusal.count()) + " s");
}

void CServerDoc::logQuietRefusals(const std::string& source, LoginFailures& f) {
    if (f.refusedQuietly == 0) return;
    logServer(0, "[" + source + "] " + std::to_string(f.refusedQuietly) + " more logins refused, unread, meanwhile");
    f.refusedQuietly = 0;
}

void CServerDoc::logQuietRefusalsDue() {
    const auto t = now();
    for (auto& [source, f] : loginFailures_)
        if (f.refusedQuietly > 0 && t >= f.refusedUntil) logQuietRefusals(source, f);
}

void CServerDoc::noteOpen(CClientSocket& c, Bytes payload) {
    std::string path = parseRootPath(payload);
    if (path != c.path)
        logServer(servermsg::kOpenDrive, formatServerMessage(servermsg::kOpenDrive, c.peerAddress, printable(path)));
    c.letter = path.empty() ? 0 : path[0];
    c.path = std::move(path);
}

int CServerDoc::driveTypeOf(const std::string& path) const {
    const auto letter = letterOfRootPath(path);
    const DriveEntry* entry = letter ? drives_.find(*letter) : nullptr;
    return static_cast<int>(entry ? entry->type : DriveType::NoRootDir);
}

void CServerDoc::releaseWorker(CClientSocket& c) {
    if (c.worker) {
        c.worker->release();
        released_.push_back(std::move(c.worker));
    }
    // What the worker was doing and the drive it holds no longer count.
    setActivity(activity_ - static_cast<int>(c.inFlight) - (c.countedOpen ? 1 : 0));
    c.inFlight = c.inFlightBytes = c.driveChanges = 0;
    c.sectorBytes = 0;
    c.countedOpen = false;
}

void CServerDoc::remove(CClientSocket& c) {
    releaseWorker(c);
    std::erase_if(connections_, [&](const auto& p) { return p.get() == &c; });
    acceptBlocked_ = false;
    observer_.connectionsChanged(connections_.size());
}

void CServerDoc::dropStalled() {
    const auto t = now();
    std::vector<CClientSocket*> stalled;
    for (const auto& c : connections_) {
        if (waitsOnClient(*c) && t - c->lastProgress >= options_.stallLimit) stalled.push_back(c.get());
    }
    std::vector<CClientSocket*> late;
    for (const auto& c : connections_) {
        if (!c->loggedIn && c->phase == CClientSocket::Phase::Serving && t - c->accepted >= options_.loginLimit &&
            std::ranges::find(stalled, c.get()) == stalled.end())
            late.push_back(c.get());
    }
    // Dropped without a line: one per connection would let anyone fill the log.
    for (CClientSocket* c : late) remove(*c);
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

void CServerDoc::beginShutdown() {
    discovery_.reset();
    listening_.reset();
    for (const auto& c : connections_) {
        if (c->phase == CClientSocket::Phase::Leaving) continue;
        c->phase = CClientSocket::Phase::Leaving;
        c->in.clear();
        releaseWorker(*c);
        reply(*c, MSG_SHUTDOWN);
        c->lastProgress = now();
    }
    for (auto& [source, f] : loginFailures_) logQuietRefusals(source, f);
}

void CServerDoc::finishShutdown() {
    connections_.clear();
    // Each waits for its worker to finish the read it is in.
    released_.clear();
}

void CServerDoc::shutdown() {
    beginShutdown();
    std::vector<pollfd> set;
    while (!connections_.empty()) {
        set.clear();
        pollSet(set);
        const int r = ::poll(set.data(), set.size(), pollTimeout());
        if (r < 0 && errno != EINTR) break;
        handle(set);
    }
    finishShutdown();
}

}  // namespace harrow::remote
