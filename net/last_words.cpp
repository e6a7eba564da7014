#include "net/last_words.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vistrel {

TLastWords::~TLastWords() {
    for (const auto& [fd, held] : held_) {
        loop_.CancelTimer(held.Deadline);
        loop_.Unwatch(fd);
        close(fd);
    }
}

bool TLastWords::Hold(int fd) {
    if (fd < 0 || held_.size() >= kMaxLastWords || held_.count(fd)) return false;
    if (loop_.Watch(fd, TEventLoop::kReadable | TEventLoop::kPeerClosed,
                    [this, fd](uint32_t events) { OnEvents(fd, events); }) != 0)
        return false;
    held_[fd].Deadline = loop_.AddTimer(kLastWordsWait, [this, fd] {
        auto it = held_.find(fd);
        if (it == held_.end()) return;
        it->second.Deadline = 0;
        Release(fd);  // linger 0: the reset
    });
    return true;
}

void TLastWords::OnEvents(int fd, uint32_t events) {
    auto it = held_.find(fd);
    if (it == held_.end()) return;
    if (events & (TEventLoop::kError | TEventLoop::kHangup)) return Release(fd);
    // Input left unread would make the close a reset: it is read, and
    // dropped, up to the bound.
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            it->second.Dropped += static_cast<size_t>(n);
            if (it->second.Dropped > kLastWordsInput) return Release(fd);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        return Release(fd);  // the peer's end (or its reset): nothing is owed
    }
}

void TLastWords::Release(int fd) {
    auto it = held_.find(fd);
    if (it == held_.end()) return;
    loop_.CancelTimer(it->second.Deadline);
    held_.erase(it);
    loop_.Unwatch(fd);
    close(fd);
}

}  // namespace vistrel
