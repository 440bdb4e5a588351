// harrowd: with a display, a window with the log and a tray icon (server_frame.*); without one,
// or with --headless, the server core on a poll() loop, its log on stdout or in a file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/strings.h"
#include "remote/password_input.h"
#include "remote/server.h"
#ifdef HARROWD_WINDOW
#include "remote/harrowd/window_start.h"
#endif

using namespace harrow;

namespace {

// The write end of the pipe the signal handler wakes the loop through.
int wakeFd = -1;

extern "C" void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &byte, 1);
    errno = saved;
}

class LogFile : public remote::ServerObserver {
public:
    explicit LogFile(std::FILE* out) : out_(out) {}

    void log(int, const std::string& text) override {
        std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        // One event, one line: texts written for message boxes break theirs.
        std::string line = text;
        for (char& ch : line)
            if (ch == '\n' || ch == '\r') ch = ' ';
        std::fprintf(out_, "%04d-%02d-%02d %02d:%02d:%02d -> %s\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                     t.tm_hour, t.tm_min, t.tm_sec, line.c_str());
        std::fflush(out_);
    }

private:
    std::FILE* out_;
};

void fail(const std::string& text) { std::fprintf(stderr, "harrowd: %s\n", text.c_str()); }

// The window's own flag, spelled as it always was: "/minimize" or "-minimize", in this letter case.
// It is taken out before the rest is parsed, which would read it as a path or as six short flags.
bool takeMinimizeFlag(int& argc, char** argv) {
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "/minimize") == 0 || std::strcmp(argv[i], "-minimize") == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

bool passwordFits(const std::string& password) {
    // A short password is found by trying, however slowly the server lets anyone try; a longer
    // one than the login field carries would let nobody in.
    if (password.size() >= remote::kMinPassword && password.size() <= remote::LoginRequest::kMaxPassword) return true;
    fail("the password must be " + std::to_string(remote::kMinPassword) + " to " +
         std::to_string(remote::LoginRequest::kMaxPassword) + " bytes long");
    return false;
}

#ifdef HARROWD_WINDOW
bool displayPresent() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value) return true;
    return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const bool minimized = takeMinimizeFlag(argc, argv);
    CLI::App app{"harrowd: serves this machine's FAT, exFAT and NTFS volumes to harrow over TCP"};
    bool headless = false;
    std::string passwordFile, bindAddress, logPath, lang;
    std::vector<std::string> drives;
    int port = remote::SERVER_PORT;
    int stallSeconds = 10;
    int loginSeconds = 10;
    std::size_t maxConnections = 500, maxPerAddress = 16;
#ifdef HARROWD_WINDOW
    app.add_flag("--headless", headless, "run without a window, as without a display");
#else
    app.add_flag("--headless", headless, "run without a window (this build has none: it always does)");
#endif
    app.add_option("--password-file", passwordFile,
                   "read the password from the first line of FILE, which only its owner may read (else the "
                   "window asks; without one, HARROWD_PASSWORD, else a prompt)")
        ->type_name("FILE");
    app.add_option("--drive", drives, "serve PATH (device, partition or raw image) as drive X: (repeatable)")
        ->type_name("X=PATH");
    app.add_option("--bind", bindAddress, "listen on this IPv4 address only (default: every address)")
        ->type_name("ADDRESS");
    app.add_option("--port", port, "TCP port (default 2000; discovery answers on the port after it)")
        ->check(CLI::Range(0, 65534));
    app.add_option("--stall-limit", stallSeconds,
                   "drop a client that stops in the middle of a message, or stops taking its replies, after "
                   "this many seconds (default 10)")
        ->check(CLI::Range(1, 86400));
    app.add_option("--login-limit", loginSeconds,
                   "drop a connection that has not logged in after this many seconds (default 10)")
        ->check(CLI::Range(1, 86400));
    app.add_option("--max-connections", maxConnections, "connections at once (default 500)")
        ->check(CLI::Range(1, 500));
    app.add_option("--max-per-address", maxPerAddress,
                   "connections not logged in yet from one address (default 16)")
        ->check(CLI::Range(1, 500));
    app.add_option("--log", logPath, "append the log to FILE instead of writing it on stdout")->type_name("FILE");
    app.add_option("--lang", lang, "language of the log")->check(CLI::IsMember({"zh", "en"}));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    if (!lang.empty()) setLanguage(lang == "en" ? Lang::En : Lang::Zh);

#ifdef HARROWD_WINDOW
    bool window = !headless;
    if (window && !displayPresent()) {
        fail("no display (neither DISPLAY nor WAYLAND_DISPLAY is set): running without a window");
        window = false;
    }
#else
    const bool window = false;
#endif

    // The window asks for the password itself: the environment is for the terminal.
    std::string error;
    std::optional<std::string> password;
    if (!window || !passwordFile.empty()) {
        password = remote::readPassword(passwordFile, "HARROWD_PASSWORD", error, true);
        if (!password) {
            fail(error);
            return 2;
        }
        if (!passwordFits(*password)) return 2;
    }

    DriveTable& table = DriveTable::global();
    for (const auto& assignment : drives) {
        if (!table.addAssignments(assignment)) {
            fail("--drive wants X=PATH, not " + assignment);
            return 2;
        }
    }
    remote::ServerOptions options;
    options.bindAddress = bindAddress;
    options.port = static_cast<std::uint16_t>(port);
    options.stallLimit = std::chrono::seconds(stallSeconds);
    options.loginLimit = std::chrono::seconds(loginSeconds);
    options.maxConnections = maxConnections;
    options.maxPerAddress = maxPerAddress;
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail(std::string("cannot make a pipe: ") + std::strerror(errno));
        return 1;
    }
    wakeFd = wake[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
#ifdef HARROWD_WINDOW
    if (window) return remote::runServerWindow(argc, argv, remote::WindowStart{options, password, minimized, table, wake[0]});
#else
    (void)minimized;
#endif
    options.password = *password;

    std::FILE* out = stdout;
    if (!logPath.empty()) {
        out = std::fopen(logPath.c_str(), "a");
        if (!out) {
            fail("cannot open the log " + logPath + ": " + std::strerror(errno));
            return 1;
        }
    }

    LogFile log(out);
    SystemSources sources(table);
    remote::CServerDoc server(log, table, sources);
    if (!server.startUp(options)) {
        fail("cannot listen on " + (bindAddress.empty() ? std::string("port ") : bindAddress + " port ") +
             std::to_string(port) + ": " + std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "harrowd: listening on %s:%u\n", bindAddress.empty() ? "*" : bindAddress.c_str(),
                 static_cast<unsigned>(server.port()));

    std::vector<pollfd> set;
    for (;;) {
        set.clear();
        set.push_back({wake[0], POLLIN, 0});
        server.pollSet(set);
        const int r = ::poll(set.data(), set.size(), server.pollTimeout());
        if (r < 0 && errno != EINTR) {
            fail(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (set[0].revents) break;
        server.handle(std::span<const pollfd>(set).subspan(1));
    }
    server.shutdown();
    if (out != stdout) std::fclose(out);
    return 0;
}
