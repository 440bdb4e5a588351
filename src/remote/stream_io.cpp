#include "remote/stream_io.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace harrow::remote {

bool sendAll(int fd, Bytes data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

IoStep sendSome(int fd, Bytes data) {
    for (;;) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return {static_cast<std::size_t>(n), false};
        if (errno == EINTR) continue;
        return {0, errno != EAGAIN && errno != EWOULDBLOCK};
    }
}

IoStep receiveSome(int fd, MutableBytes into) {
    for (;;) {
        const ssize_t n = ::recv(fd, into.data(), into.size(), MSG_DONTWAIT);
        if (n > 0) return {static_cast<std::size_t>(n), false};
        if (n == 0) return {0, !into.empty()};
        if (errno == EINTR) continue;
        return {0, errno != EAGAIN && errno != EWOULDBLOCK};
    }
}

bool StreamReader::readExact(int fd, MutableBytes out) {
    std::size_t done = 0;
    while (done < out.size()) {
        if (begin_ < end_) {
            const std::size_t n = std::min(end_ - begin_, out.size() - done);
            std::memcpy(out.data() + done, buffer_.data() + begin_, n);
            begin_ += n;
            done += n;
            continue;
        }
        // A large remainder goes straight to its place instead of through the buffer.
        const bool direct = out.size() - done >= buffer_.size() / 2;
        std::uint8_t* into = direct ? out.data() + done : buffer_.data();
        const std::size_t room = direct ? out.size() - done : buffer_.size();
        const ssize_t n = ::recv(fd, into, room, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (direct) {
            done += static_cast<std::size_t>(n);
        } else {
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
    }
    return true;
}

}  // namespace harrow::remote
