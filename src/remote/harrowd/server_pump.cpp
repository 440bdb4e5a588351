#include "remote/harrowd/server_pump.h"

#include <poll.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace harrow::remote {

ServerPump::ServerPump(CServerDoc& server, QObject* parent) : QObject(parent), server_(server) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &ServerPump::pump);
}

void ServerPump::retire(std::unique_ptr<QSocketNotifier>& n) {
    if (!n) return;
    // Disabled at once, so a descriptor the core closes is not polled; deleted later, as it may
    // be the one whose signal is being delivered.
    n->setEnabled(false);
    n.release()->deleteLater();
}

void ServerPump::start() {
    running_ = true;
    watch();
}

void ServerPump::stop() {
    running_ = false;
    deadline_.stop();
    for (auto& [fd, n] : notifiers_) {
        retire(n.read);
        retire(n.write);
    }
    notifiers_.clear();
}

void ServerPump::schedule() {
    if (std::exchange(scheduled_, true)) return;
    QMetaObject::invokeMethod(this, &ServerPump::pump, Qt::QueuedConnection);
}

void ServerPump::pump() {
    scheduled_ = false;
    if (!running_) return;
    std::vector<pollfd> set;
    server_.pollSet(set);
    int r;
    do {
        r = ::poll(set.data(), set.size(), 0);
    } while (r < 0 && errno == EINTR);
    // Called with nothing ready, the core still drops the connections whose time is up.
    server_.handle(set);
    watch();
}

void ServerPump::watch() {
    if (!running_) return;
    std::vector<pollfd> set;
    server_.pollSet(set);
    std::map<int, Notifiers> next;
    auto keep = [&](std::unique_ptr<QSocketNotifier>& from, int fd, QSocketNotifier::Type type, bool wanted) {
        std::unique_ptr<QSocketNotifier> n;
        if (!wanted) {
            retire(from);
            return n;
        }
        if (from) {
            n = std::move(from);
        } else {
            n = std::make_unique<QSocketNotifier>(fd, type);
            connect(n.get(), &QSocketNotifier::activated, this, &ServerPump::schedule);
        }
        n->setEnabled(true);
        return n;
    };
    for (const pollfd& p : set) {
        Notifiers& old = notifiers_[p.fd];
        Notifiers& now = next[p.fd];
        now.read = keep(old.read, p.fd, QSocketNotifier::Read, p.events & POLLIN);
        now.write = keep(old.write, p.fd, QSocketNotifier::Write, p.events & POLLOUT);
    }
    // Those of descriptors the core no longer watches (closed, or to be reused) go now.
    for (auto& [fd, n] : notifiers_) {
        retire(n.read);
        retire(n.write);
    }
    notifiers_ = std::move(next);
    const int timeout = server_.pollTimeout();
    if (timeout < 0)
        deadline_.stop();
    else
        deadline_.start(timeout);
}

}  // namespace harrow::remote
