#include "remote/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace harrow::remote {
namespace {

void stripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

}  // namespace

std::optional<std::string> readPassword(const std::string& file, const char* environmentName, std::string& error) {
    if (!file.empty()) {
        std::ifstream in(file);
        std::string line;
        if (!in || (!std::getline(in, line) && !in.eof())) {
            error = "cannot read the password file " + file + ": " + std::strerror(errno);
            return std::nullopt;
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
