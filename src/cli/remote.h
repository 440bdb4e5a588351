// harrow-cli's remote sources: harrowd://HOST[:PORT]/X for every command, and the drive list
// of a server.
#pragma once

#include <string>

#include "cli/cli.h"
#include "remote/remote_source.h"

namespace harrow::cli {

// The factory the document reads remote drives through, and where the password comes from
// (a file, else HARROW_PASSWORD, else a prompt on the terminal).
void useRemoteSources(remote::RemoteSources& sources, std::string passwordFile);

// Connects and logs in to the server of SOURCE and runs the open flow on its drive.
bool openRemoteSource(CQUIDNEYDoc& doc, const std::string& source, DocHost& host);

// drives --server HOST[:PORT]: the server's removable, fixed and RAM drives with their labels.
int cmdRemoteDrives(const std::string& server, const Options& opt);

}  // namespace harrow::cli
