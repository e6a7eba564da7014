// SIGINT and SIGTERM for the command-line tools: they end the work between
// two waits (a recording finished cleanly, an upload with its summary)
// rather than kill the program, and a peer that hangs up never raises
// SIGPIPE.
#pragma once

namespace vistrel::client {

// Installs the handlers. They interrupt a wait rather than restart it.
void CatchStopSignals();
// Whether SIGINT or SIGTERM has arrived since.
bool StopRequested() noexcept;

}  // namespace vistrel::client
