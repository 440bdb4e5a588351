#include "remote/password_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "common/unique_fd.h"

namespace harrow::remote {
namespace {

void stripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

}  // namespace

std::optional<std::string> readPassword(const std::string& file, const char* environmentName, std::string& error,
                                        bool privateFile) {
    if (!file.empty()) {
        UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
            error = "cannot read the password file " + file + ": " + std::strerror(errno);
            return std::nullopt;
        }
        // Asked of the file opened, so that it cannot be swapped between the look and the read.
        if (privateFile && (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH))) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            error = "the password file " + file + " may be read or written by others than its owner (mode " + mode +
                    "): make it private first, with chmod 600 " + file;
            return std::nullopt;
        }
        // The first line counts; a line longer than any password is not read further.
        std::string line;
        char buffer[256];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = "cannot read the password file " + file + ": " + std::strerror(errno);
                return std::nullopt;
            }
            const std::string_view got(buffer, static_cast<std::size_t>(n));
            const std::size_t end = got.find('\n');
            line.append(got.substr(0, end));
            if (n == 0 || end != std::string_view::npos || line.size() > 4096) break;
        }
        stripLineEnd(line);
        return line;
    }
    if (const char* value = std::getenv(environmentName)) return std::string(value);
    if (!isatty(STDIN_FILENO)) {
        error = std::string("no password: give --password-file FILE or set ") + environmentName +
                ", or run on a terminal to be asked";
        return std::nullopt;
    }
    std::fprintf(stderr, "Password: ");
    std::fflush(stderr);
    termios saved{};
    const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (!got) {
        error = "no password was typed";
        return std::nullopt;
    }
    stripLineEnd(line);
    return line;
}

}  // namespace harrow::remote
