// What main() hands the window: the server's options, and the password when a file gave one.
#pragma once

#include <optional>
#include <string>

#include "remote/server.h"
#include "volume/drive_table.h"

namespace harrow::remote {

struct WindowStart {
    ServerOptions options;
    std::optional<std::string> password;  // none: the window asks
    bool minimized = false;               // "/minimize": only the tray icon shows at first
    DriveTable& drives;
    int signalled = -1;  // readable once SIGINT or SIGTERM came: the server ends as at Exit, unasked
};

// Runs harrowd's window until it is closed; the exit status.
int runServerWindow(int& argc, char** argv, WindowStart start);

}  // namespace harrow::remote
