// Byte streams over sockets: the whole of a send, exactly n bytes of a receive, and what a
// non-blocking socket will take or give at the moment. Every loop retries on EINTR and tells a
// closed peer from an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace harrow::remote {

// Sends every byte of `data` on a blocking socket. False on an error or a peer that is gone
// (never SIGPIPE).
bool sendAll(int fd, Bytes data);

// What one call on a non-blocking socket came to.
struct IoStep {
    std::size_t bytes = 0;  // moved by this call
    bool closed = false;    // the peer closed (receive) or the socket failed (either)
};
IoStep sendSome(int fd, Bytes data);
IoStep receiveSome(int fd, MutableBytes into);

// Reads a blocking stream in large pieces and hands them out exactly: a run of small messages
// costs one receive, not two per message.
class StreamReader {
public:
    explicit StreamReader(std::size_t capacity = 256 * 1024) : buffer_(capacity) {}

    // Fills `out` whole; false when the peer closed or the socket failed first.
    bool readExact(int fd, MutableBytes out);
    // Forgets what was read ahead (the stream it came from is gone).
    void clear() { begin_ = end_ = 0; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0, end_ = 0;
};

}  // namespace harrow::remote
