// Where the front ends (harrow-cli, harrowd) take a password from: a file named on the command
// line, else an environment variable, else a prompt on the terminal that does not echo. Never
// from the command line itself, where every user of the machine could read it.
#pragma once

#include <optional>
#include <string>

namespace harrow::remote {

// The password, or nothing with the reason in `error`. `file` empty: no file was named. The
// first line of the file counts, without its line end. `privateFile`: a file that others than its
// owner may read or write is refused, as the password it holds may be known to them.
std::optional<std::string> readPassword(const std::string& file, const char* environmentName, std::string& error,
                                        bool privateFile = false);

}  // namespace harrow::remote
