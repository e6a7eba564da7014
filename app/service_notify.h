// vistreld under systemd: telling the service manager that the relay is
// ready and that it is stopping, and finding out whether stdout is the
// journal. Outside systemd (no NOTIFY_SOCKET, no JOURNAL_STREAM) the
// notifications do nothing and stdout is never the journal.
#pragma once

#include <string>

namespace vistrel {

// READY=1 with a STATUS= line for `systemctl status`; send it once the
// relay listens on every port it was asked for.
void NotifyServiceReady(const std::string& status);
// STOPPING=1; send it when a stop signal starts the shutdown.
void NotifyServiceStopping();

// True when the process's stdout is the journal's stream: JOURNAL_STREAM
// ("<device>:<inode>", both decimal) names the device and inode stdout has.
// The journal stamps every line itself.
bool StdoutIsJournal();

}  // namespace vistrel
