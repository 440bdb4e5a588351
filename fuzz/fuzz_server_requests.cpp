// The server's request handling, fed a hostile byte stream on one connection: framing, the
// bounds of every payload, the dispatch, and the drive it opens on the sample FAT volume.
//
// Input byte 0 chooses what goes before the rest of the stream: bit 0 a login with the right
// password (which no mutation would find), bit 1 then the opening of F:. Whatever the stream,
// every reply must be framed, no larger than the reply bound, and no drive data may leave
// before a login succeeded; when the connection is gone, nothing may still count as active, and
// every worker thread it started must end. Each input begins an hour after the last on the
// server's clock, so that the refusals an input's failed logins earn never reach the next. Every wait is on a descriptor (the peer, the server's
// sockets, the word its workers send) or on the server's stall limit, never a fixed sleep, so a
// run goes the same way however the workers are scheduled; a server that forgot to answer or to
// end a worker hangs, and the fuzzer reports the hang.
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_checks.h"
#include "remote/protocol.h"
#include "remote/server.h"
#include "support/sample_volume.h"

using namespace harrow;
using namespace harrow::remote;

namespace {

class Quiet : public ServerObserver {
public:
    void log(int, const std::string&) override {}
};

struct Fixture {
    std::chrono::hours offset{0};
    Quiet observer;
    DriveTable table;
    MemorySources sources{test::makeSampleFat().bytes};
    CServerDoc server{observer, table, sources};

    Fixture() {
        DriveEntry f;
        f.letter = 'F';
        f.path = "memory";
        table.set(f);
        ServerOptions options;
        options.password = "pw";
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        options.stallLimit = std::chrono::milliseconds(200);
        options.clock = [this] { return std::chrono::steady_clock::now() + offset; };
        fuzz::check(server.startUp(options));
    }
};

// Checks the replies in `in` from `at` on; returns where the first incomplete one starts.
std::size_t checkReplies(const std::vector<std::uint8_t>& in, std::size_t at, bool& loggedIn) {
    while (in.size() - at >= MessageHeader::kSize) {
        const auto header = MessageHeader::parse(Bytes(in).subspan(at));
        fuzz::check(header.has_value());
        fuzz::check(header->length <= kMaxReadReplyBytes);
        if (in.size() - at - MessageHeader::kSize < header->length) break;
        if (header->code == MSG_LOGIN_OK) loggedIn = true;
        if (header->code == MSG_DATA || header->code == MSG_DRIVE_OPENED) fuzz::check(loggedIn);
        at += MessageHeader::kSize + header->length;
    }
    return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture f;
    if (size == 0) return 0;
    ++f.offset;
    std::vector<std::uint8_t> stream;
    if (data[0] & 1) {
        stream = encodeMessage(MSG_LOGIN, LoginRequest{"pw", "127.0.0.1", "FUZZ"}.serialize());
        if (data[0] & 2) {
            const auto open = encodeMessage(MSG_OPEN_DRIVE, encodeRootPath("F:\\"));
            stream.insert(stream.end(), open.begin(), open.end());
        }
    }
    stream.insert(stream.end(), data + 1, data + size);

    int pair[2];
    fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
    f.server.adopt(UniqueFd(pair[0]));
    UniqueFd peer(pair[1]);

    std::vector<std::uint8_t> replies;
    std::size_t written = 0, checked = 0;
    bool loggedIn = false, shut = false;
    std::array<std::uint8_t, 64 * 1024> buffer;
    std::vector<pollfd> set;
    auto pump = [&](short peerEvents) {
        set.clear();
        if (peer.valid()) set.push_back({peer.get(), peerEvents, 0});
        const std::size_t own = set.size();
        f.server.pollSet(set);
        ::poll(set.data(), set.size(), f.server.pollTimeout());
        f.server.handle(std::span<const pollfd>(set).subspan(own));
    };
    for (int round = 0; round < 10000 && f.server.connectionCount() > 0; ++round) {
        if (written < stream.size()) {
            const ssize_t n = ::send(peer.get(), stream.data() + written, stream.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) written += static_cast<std::size_t>(n);
        }
        if (written == stream.size() && !shut) shut = ::shutdown(peer.get(), SHUT_WR) == 0;
        for (ssize_t n; (n = ::recv(peer.get(), buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
            replies.insert(replies.end(), buffer.begin(), buffer.begin() + n);
        checked = checkReplies(replies, checked, loggedIn);
        replies.erase(replies.begin(), replies.begin() + static_cast<std::ptrdiff_t>(checked));
        checked = 0;
        pump(static_cast<short>(POLLIN | (written < stream.size() ? POLLOUT : 0)));
    }
    // A connection the loop could not end is ended by its client going away.
    peer.reset();
    while (f.server.connectionCount() > 0 || f.server.workerCount() > 0) pump(0);
    fuzz::check(f.server.activity() == 0);
    return 0;
}
