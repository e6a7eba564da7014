#include "app/service_notify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>

namespace vistrel {

namespace {

// One decimal number without sign or blanks, up to end or stop; false when
// there is none or it does not fit.
bool ReadDecimal(const char*& text, char stop, unsigned long long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != stop) return false;
    text = end;
    return true;
}

}  // namespace

void NotifyServiceReady(const std::string& status) {
    // Failures are not ours to act on: the service manager times the start
    // out on its own.
    (void)sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void NotifyServiceStopping() { (void)sd_notify(0, "STOPPING=1"); }

bool StdoutIsJournal() {
    // systemd sets it for the service's stdout, and everything the service
    // starts inherits it, also with stdout sent elsewhere: hence the
    // comparison with what stdout is now.
    const char* text = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    if (text == nullptr || !ReadDecimal(text, ':', device)) return false;
    ++text;
    if (!ReadDecimal(text, '\0', inode)) return false;
    struct stat out {};
    if (fstat(1, &out) != 0) return false;
    return device == out.st_dev && inode == out.st_ino;
}

}  // namespace vistrel
