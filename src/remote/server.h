// The server core of harrowd: the listening and discovery sockets, the connections, and the
// serving of each request. It does no waiting of its own: a front end (the headless poll loop,
// or a window's socket notifiers) asks which descriptors to watch, and hands back what poll()
// saw. Every socket is non-blocking and each connection gathers its request bytes as they come,
// so a client that stops in the middle of a message holds up nobody but itself. Nor does the
// loop read a disk: what reads a device goes to the connection's own worker thread, whose
// replies come back through a descriptor in the same watch list, so a sector that takes a
// minute to fail holds up only the connection that asked for it.
#pragma once

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/prompts.h"
#include "common/unique_fd.h"
#include "document/drive.h"
#include "remote/protocol.h"
#include "volume/drive_table.h"
#include "volume/source_factory.h"

namespace harrow::remote {

// What the server tells its front end.
class ServerObserver {
public:
    virtual ~ServerObserver() = default;
    // One line of the log, with the number of its message: harrowd's table for the server's own
    // events, harrow's for what the drive code says about a volume it opens (0: a fixed text).
    virtual void log(int id, const std::string& text) = 0;
    // The activity counter changed (the busy picture follows it).
    virtual void activityChanged(int) {}
    // A connection came or went.
    virtual void connectionsChanged(std::size_t) {}
};

struct ServerOptions {
    std::string password;
    std::string bindAddress;  // dotted IPv4 text; empty: every address
    std::uint16_t port = SERVER_PORT;  // discovery listens on port + 1
    // A connection that has begun a message (or has replies waiting) and moves no byte for this
    // long is dropped. Time spent waiting on its own disk reads is the server's, not the
    // client's, and does not count.
    std::chrono::milliseconds stallLimit{10000};
    // A connection that has not logged in this long after it came is dropped: a client that
    // only holds a connection open would otherwise keep its place for ever.
    std::chrono::milliseconds loginLimit{10000};
    // Connections at once, and those of one address not logged in yet. A connection beyond
    // either takes the place of the oldest one not logged in (of its address, for the second),
    // so that idle connections can never keep a client that logs in out.
    std::size_t maxConnections = 500;
    std::size_t maxPerAddress = 16;
    // What the limits are measured by; tests turn it by hand.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

// The shortest password the server starts with: the field carries 19 bytes, and a short one
// is found by trying.
inline constexpr std::size_t kMinPassword = 8;

// Bytes that are written before they are read: growing a reply for the sectors about to be read
// into it need not clear it first.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using ReplyBytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// A request that reads a device, as the loop hands it to a connection's worker: already
// checked, and with the most its reply can come to.
struct DeviceJob {
    std::uint8_t code = 0;          // MSG_OPEN_DRIVE, MSG_CLOSE_DRIVE, MSG_READ_SECTORS, MSG_VOLUME_INFO
    std::optional<char> letter;     // open, volume information: a letter of the drive table
    std::uint32_t first = 0, count = 0;  // read
    std::size_t replyBytes = 0;     // header included
};

class DriveWorker;

// One accepted connection.
struct CClientSocket {
    UniqueFd fd;
    std::string source;  // the client's address, known from the start; empty off TCP
    std::chrono::steady_clock::time_point accepted;
    std::string peerAddress;  // recorded at a successful login
    int peerPort = 0;
    std::array<std::uint8_t, LoginRequest::kSize> login{};  // the accepted MSG_LOGIN payload
    bool loggedIn = false;

    std::vector<std::uint8_t> in;  // received, not yet served
    // Replies not yet sent, in order, the first from outSent on. A worker's reply joins the
    // queue as it was read, and a send gathers several: a sector is never copied on its way.
    std::deque<ReplyBytes> out;
    std::size_t outSent = 0;
    std::size_t outBytes = 0;  // in `out`, what was sent of the first included
    ReplyBytes spare;          // a sent buffer, for the worker to fill again
    std::chrono::steady_clock::time_point lastProgress;
    // Serving: requests are read and answered. Closing: the connection ends once its replies
    // are sent (a logout, a refused login). Leaving: the server shuts down; MSG_SHUTDOWN is
    // queued, and after it the client's close is awaited while its bytes are dropped.
    enum class Phase { Serving, Closing, Leaving } phase = Phase::Serving;
    bool peerClosed = false;   // the client closed its side, or the socket failed
    bool sendingShut = false;  // our side is shut down (leaving)

    // The open drive, as the client asked for it.
    char letter = 0;
    std::string path;
    bool countedOpen = false;  // its open raised the activity counter

    // Device work: the worker owns the drive and serves its requests in the order they came.
    std::unique_ptr<DriveWorker> worker;  // made at the first request that reads a device
    std::size_t inFlight = 0;             // requests with the worker, not yet answered
    std::size_t inFlightBytes = 0;        // the most their replies can come to
    std::size_t driveChanges = 0;         // opens and closes among them
    // The sector size of the worker's open drive once no open or close is in flight; 0: none.
    std::uint32_t sectorBytes = 0;

    ~CClientSocket();
    std::size_t pendingOut() const { return outBytes - outSent; }
};

// Failed logins from one address. After a few, the address is refused without a look at the
// password for a time that doubles with each further failure.
struct LoginFailures {
    unsigned failures = 0;
    std::chrono::steady_clock::time_point refusedUntil;
    std::chrono::steady_clock::time_point last;  // the last failure
    unsigned refusedQuietly = 0;  // refusals while refused, not yet in the log
};

class CServerDoc {
public:
    CServerDoc(ServerObserver& observer, DriveTable& drives, SourceFactory& sources);
    ~CServerDoc();
    CServerDoc(const CServerDoc&) = delete;
    CServerDoc& operator=(const CServerDoc&) = delete;

    // Fills the host text and opens the listening socket (backlog 5) and the discovery socket;
    // false when the listening socket cannot be set up, with errno telling why. A discovery
    // socket that cannot be made is done without.
    bool startUp(ServerOptions options);
    // The port the listening socket got (the one asked for, or the system's choice for 0).
    std::uint16_t port() const { return port_; }

    // The descriptors to watch and for what. `handle` takes what poll() reported for them (in
    // the same order, other entries ignored); `pollTimeout` is how long poll() may wait before
    // the next stalled connection is due to be dropped (-1: no limit).
    void pollSet(std::vector<pollfd>& into) const;
    void handle(std::span<const pollfd> ready);
    int pollTimeout() const;

    // Takes a connected stream socket as a new connection (accept, and tests that bring their
    // own socket pair).
    void adopt(UniqueFd fd);
    // Sends MSG_SHUTDOWN to every connection, lets each client close (up to the stall limit),
    // and closes the sockets. Then waits for each worker to finish the request it is reading
    // (its reply is dropped): a drive is never closed under a read.
    void shutdown();
    // The same in steps, for a front end whose own loop goes on meanwhile: beginShutdown() closes
    // the listening and discovery sockets and queues MSG_SHUTDOWN; the connections then end as
    // handle() sees their clients close (or stall); finishShutdown() ends what is left and waits
    // for the workers.
    void beginShutdown();
    void finishShutdown();

    int activity() const { return activity_; }
    std::size_t connectionCount() const { return connections_.size(); }
    const std::vector<std::unique_ptr<CClientSocket>>& connections() const { return connections_; }
    const ServerEntry& hostText() const { return host_; }

    // Workers still running: the connections' and those finishing a request for a connection
    // that is gone.
    std::size_t workerCount() const;

    // Replies may wait for a slow reader up to this much per connection (counting those its
    // worker is making) before its requests are left unread.
    static constexpr std::size_t kOutputHighWater = 512 * 1024;
    // Requests a connection may have with its worker at once.
    static constexpr std::size_t kMaxInFlight = 128;
    // Failed logins from one address before it is refused for a while, the first while, and the
    // longest.
    static constexpr unsigned kFreeLoginFailures = 3;
    static constexpr std::chrono::seconds kFirstRefusal{1};
    static constexpr std::chrono::seconds kLongestRefusal{64};
    // Addresses whose failures are remembered; past this the one that failed longest ago goes.
    static constexpr std::size_t kMaxFailingAddresses = 4096;
    // Discovery answers at most this many a second, and to one address once a second: each
    // answer is eight times the request, and the request's sender is not known to be its own.
    static constexpr unsigned kDiscoveryAnswersPerSecond = 16;

private:
    std::chrono::steady_clock::time_point now() const;
    void acceptPending();
    // Makes room for a new connection from `source`: false when there is none to make.
    bool admit(const std::string& source);
    void answerDiscovery();
    bool mayAnswerDiscovery(std::uint32_t address);
    // The failures of `source` once it may try again: a refusal that held it is logged then.
    LoginFailures* failuresOf(const std::string& source);
    void noteFailedLogin(const std::string& source, const std::string& text);
    void logQuietRefusals(const std::string& source, LoginFailures& f);
    void logQuietRefusalsDue();
    // Reads what the socket has, serves every whole request, and sends what it can. False when
    // the connection must go.
    bool service(CClientSocket& c, short events);
    bool advance(CClientSocket& c);
    void receive(CClientSocket& c);
    // Serves the whole requests received, in order, while the replies do not pile up: on the
    // loop, or by handing them to the worker. False on a request that cannot be framed.
    bool serveBuffered(CClientSocket& c);
    bool wholeRequestBuffered(const CClientSocket& c) const;
    // The worker's part of a request, if it has one; decided before anything is read.
    std::optional<DeviceJob> deviceJob(const CClientSocket& c, std::uint8_t code, Bytes payload) const;
    // Posts the job to the connection's worker (which the caller then wakes); false when it
    // was answered at once, for want of a thread.
    bool dispatch(CClientSocket& c, const DeviceJob& job, Bytes payload);
    // Takes what the workers finished, in order, and goes on with their connections.
    void collectFinished();
    // Serves one request on the loop; false when the connection ends with it.
    bool serve(CClientSocket& c, std::uint8_t code, Bytes payload);
    bool flush(CClientSocket& c);
    void reply(CClientSocket& c, std::uint8_t code, Bytes payload = {});
    void queueReply(CClientSocket& c, ReplyBytes reply);
    void serveLogin(CClientSocket& c, Bytes payload, bool& keep);
    void noteOpen(CClientSocket& c, Bytes payload);
    std::optional<char> servedLetter(Bytes rootPath) const;
    int driveTypeOf(const std::string& path) const;
    // Lets the connection's worker go: it finishes what it is reading, for nobody.
    void releaseWorker(CClientSocket& c);
    void remove(CClientSocket& c);
    void dropStalled();
    void setActivity(int value);
    void logServer(int id, const std::string& text) { observer_.log(id, text); }

    ServerObserver& observer_;
    DriveTable& drives_;
    SourceFactory& sources_;
    ServerOptions options_;
    ServerEntry host_;
    UniqueFd listening_;
    UniqueFd discovery_;
    // Workers say here that they have finished something; declared before the workers, so that
    // it outlives them.
    UniqueFd finished_;
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<DriveWorker>> released_;  // finishing for connections that are gone
    std::vector<std::unique_ptr<CClientSocket>> connections_;
    int activity_ = 0;
    bool acceptBlocked_ = false;  // the process has no descriptor to accept with
    bool saidConnectionCap_ = false, saidAddressCap_ = false;
    std::map<std::string, LoginFailures> loginFailures_;
    struct {
        std::chrono::steady_clock::time_point second;
        std::vector<std::uint32_t> answered;  // in this second
    } discoveryAnswers_;
};

}  // namespace harrow::remote
