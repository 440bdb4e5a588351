// Drives the server core on the Qt event loop, as the headless poll() loop does: a socket
// notifier per descriptor the core watches, and a timer for its next deadline. Whatever wakes
// the pump, the core is handed one poll() of its whole set that does not wait, so it sees the
// same readiness (hang-ups and errors included) as under --headless. However many notifiers
// fire in one turn of the event loop, the core is pumped once in it: with fifty busy clients,
// a pump per notifier would go through every connection fifty times a turn.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "remote/server.h"

namespace harrow::remote {

class ServerPump : public QObject {
    Q_OBJECT
public:
    explicit ServerPump(CServerDoc& server, QObject* parent = nullptr);

    // Watches what the core wants watched; call after the core's sockets changed (start-up).
    void start();
    // Watches nothing more: the core's sockets are about to go (shutdown, New).
    void stop();

private:
    // A notifier fired: the pump runs once the event loop has delivered the rest of this turn.
    void schedule();
    void pump();
    void watch();
    static void retire(std::unique_ptr<QSocketNotifier>& n);

    struct Notifiers {
        std::unique_ptr<QSocketNotifier> read, write;
    };
    CServerDoc& server_;
    std::map<int, Notifiers> notifiers_;
    QTimer deadline_;
    bool running_ = false;
    bool scheduled_ = false;
};

}  // namespace harrow::remote
