#include "app/service_notify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <string_view>

#include "base/whole_number.h"

namespace vistrel {

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
    if (text == nullptr) return false;
    const std::string_view stream(text);
    const size_t colon = stream.find(':');
    if (colon == std::string_view::npos) return false;
    unsigned long long device = 0, inode = 0;
    if (!ParseWholeNumber(stream.substr(0, colon), device) || !ParseWholeNumber(stream.substr(colon + 1), inode))
        return false;
    struct stat out {};
    if (fstat(1, &out) != 0) return false;
    return device == out.st_dev && inode == out.st_ino;
}

}  // namespace vistrel
