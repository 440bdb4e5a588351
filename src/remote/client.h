// The client's side of one connection to harrowd: connect, login, the remote drive's open,
// close and sector reads, and the drive queries. Failures are said through Prompts where they
// happen; a connection that failed once is closed, and everything on it fails from then on.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/prompts.h"
#include "common/unique_fd.h"
#include "remote/protocol.h"
#include "remote/stream_io.h"
#include "volume/drive_info.h"
#include "volume/sector_source.h"

namespace harrow::remote {

class ClientConnection {
public:
    explicit ClientConnection(Prompts& prompts);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connects to `address`, dotted IPv4 text (no name lookup), logging out of any server first.
    // Says 61241 when a socket cannot be made, bound or connected; an empty address fails
    // without a word (the caller says 61245).
    bool connect(const std::string& address, std::uint16_t port = SERVER_PORT, Protocol protocol = Protocol::Tcp);
    // Logs out, lets the server close, and closes.
    void disconnect();
    bool connected() const { return fd_.valid(); }

    // Sends MSG_LOGIN; false (61246) unless MSG_LOGIN_OK comes back, after which the server
    // has closed the connection.
    bool login(const std::string& password);
    const ServerEntry& server() const { return server_; }
    const std::string& localAddress() const { return localAddress_; }

    // The remote drive. Open says nothing of its own on failure: its caller reports the open.
    std::optional<DriveInfo> openDrive(const std::string& rootPath);
    bool closeDrive();
    // Counts the drives opened on this connection: a source made for an earlier one must not
    // read the current one.
    std::uint64_t driveGeneration() const { return generation_; }
    // Reads `out.size() / bytesPerSector` sectors from `first`, several requests in flight at
    // once. A request the server fails leaves its sectors zero and the read Unreadable; a
    // connection that ends leaves the rest zero and the read Lost. Sector numbers from 2^32 on
    // cannot be asked for: the wire carries 32 bits.
    // Reads that follow on from each other are read ahead: the requests for what comes next are
    // already out when the read returns, so a run of reads pays the round trip once, not once a
    // read. A read gets the sectors read ahead for it as the server answered them; a request
    // the server failed that reaches past the read is asked again for the read's sectors alone,
    // so a failure is reported for the sectors it was about. Any other message first takes the
    // replies still owed.
    ReadResult readSectors(std::uint64_t first, std::uint32_t bytesPerSector, MutableBytes out);
    // The reads to come will go through these sectors, in this order (the first kMaxPlanExtents
    // of them are kept). A run of reads along them is read ahead along them at once: from the end
    // of one extent on at the next, and not past the last. A read elsewhere is read as any other.
    void planReads(std::span<const SectorExtent> extents, std::uint32_t bytesPerSector);

    // The queries behind the drive list: the drive type of a root path (0 on any failure), and
    // its volume information.
    int driveType(const std::string& rootPath);
    std::optional<VolumeInformation> volumeInformation(const std::string& rootPath);

    // One message each way. A failed send says 61244, a failed receive 61244 and 61243; either
    // closes the connection, and so does a reply of MSG_SHUTDOWN or MSG_CLOSED.
    struct Reply {
        std::uint8_t code = 0;
        std::vector<std::uint8_t> payload;
    };
    bool sendMessage(std::uint8_t code, Bytes payload = {});
    std::optional<Reply> receiveMessage(std::size_t bufferBytes = kQueryReplyBufferBytes);

    // Sector replies the client keeps owed at once, in bytes and in requests; the server answers
    // them in order. Enough to keep a 1 Gbit/s link with a round trip of 20 ms busy; what is
    // owed waits in the sockets' buffers, not here.
    static constexpr std::uint64_t kReadWindowBytes = 6u << 20;
    static constexpr std::size_t kReadWindowRequests = 1024;
    // The most and the least a run of reads may be read ahead of the last one, and the gap
    // between two reads that still counts as going on with a run.
    static constexpr std::uint64_t kReadAheadBytes = 4u << 20;
    static constexpr std::uint64_t kMinReadAheadBytes = 256u << 10;
    static constexpr std::uint64_t kReadAheadGapBytes = 1u << 20;
    static constexpr std::size_t kMaxPlanExtents = 4096;

    // How long a connect may take, and a reply may keep the client waiting for its next byte:
    // the login's, and every other (a server reads a failing sector for up to a minute or so).
    // A server past one has failed as one that reset the connection has.
    struct Deadlines {
        std::chrono::milliseconds connect{10000};
        std::chrono::milliseconds login{10000};
        std::chrono::milliseconds reply{120000};
    };
    void setDeadlines(const Deadlines& deadlines) { deadlines_ = deadlines; }

private:
    void close();
    void failSend();
    void failReceive();
    // A reply's header, or nothing after a failed receive (said and closed).
    std::optional<MessageHeader> receiveHeader(std::size_t payloadLimit);
    bool skipPayload(std::size_t bytes);
    // The stream of sector replies. Requests are sent until `wanted` sectors are owed or held
    // (bounded by the window): the first `own` of them one after another (those of the read under
    // way), the rest along the plan where it leads. The next sectors are handed out into `into`
    // (nothing: dropped), at most `most` of them, from the reply taken in part or the next one
    // owed. Nothing when the connection is gone.
    bool askUpTo(std::uint64_t own, std::uint64_t wanted);
    // How many sectors of the stream come before `first`, when the stream holds it or goes on
    // at it.
    std::optional<std::uint64_t> streamSkip(std::uint64_t first) const;
    // The sector the next one handed out is, when one is owed or held.
    std::optional<std::uint64_t> streamAt() const;
    // The plan's extent that holds `sector`, or ends at it; kOffPlan when none does or the plan
    // is used up.
    std::size_t planExtentAt(std::uint64_t sector) const;
    std::optional<std::uint64_t> takeSectors(std::uint64_t most, std::uint8_t* into, bool& failed);
    // Takes every reply still owed and forgets the stream; false when the connection is gone.
    bool dropStream();
    void resetStream();
    // Starts the stream afresh at `first`: the replies still owed are dropped as they come.
    void restartStream(std::uint64_t first, std::uint32_t bytesPerSector);
    bool dropStale();
    // What the link carries in a round trip, which the login and the drive's open measure: it
    // sizes the read-ahead.
    void noteRoundTrip(std::chrono::steady_clock::time_point asked);
    std::uint64_t roundTripBytes() const;

    Prompts& prompts_;
    UniqueFd fd_;
    StreamReader reader_;
    Protocol protocol_ = Protocol::Tcp;
    ServerEntry server_;
    std::string localAddress_;
    std::string localName_;
    std::uint64_t generation_ = 0;
    Deadlines deadlines_;
    std::vector<std::uint8_t> requests_;  // a batch of read requests, sent in one piece

    // Sector requests sent and not yet answered, in order; each follows on from the one before
    // but where the plan goes on elsewhere. Sectors of streamSectorBytes_; the next request
    // begins at askedEnd_, and pending_ sectors are owed or held.
    struct Asked {
        std::uint64_t first = 0;
        std::uint32_t count = 0;
    };
    std::deque<Asked> asked_;
    std::size_t stale_ = 0;  // the first of them, asked for a stream given up, to be dropped
    std::uint64_t askedBytes_ = 0;
    std::uint64_t next_ = 0, askedEnd_ = 0, pending_ = 0;
    std::uint32_t streamSectorBytes_ = 0;
    // The reads to come, and the extent of them the requests have reached (kOffPlan: none). A
    // plan is used up once asked for to its end, or left by a read elsewhere: a later read among
    // its sectors is no sign that the rest will follow.
    std::vector<SectorExtent> plan_;
    std::uint32_t planSectorBytes_ = 0;
    bool planUsedUp_ = false;
    static constexpr std::size_t kOffPlan = SIZE_MAX;
    std::size_t planAsked_ = kOffPlan;
    // The reply taken in part: heldSectors_ sectors from next_ on, at heldAt_ in held_ unless
    // the server failed them.
    std::vector<std::uint8_t> held_;
    std::size_t heldAt_ = 0;
    std::uint64_t heldSectors_ = 0;
    bool heldFailed_ = false;
    // Where the last read began and ended, and how far the reads are read ahead: grown by each
    // read that follows on, none after any other read or a failure.
    std::uint64_t readFirst_ = UINT64_MAX, readEnd_ = UINT64_MAX;
    std::uint64_t aheadBytes_ = 0;
    std::chrono::steady_clock::duration roundTrip_ = std::chrono::steady_clock::duration::max();
};

}  // namespace harrow::remote
