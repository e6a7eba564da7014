// TLastWords: connections closed after a last message (a refusal, a refused
// login's answer), held by their server until the peer has read it. An
// accepted connection has linger 0, so closing it at once resets it, and a
// reset that arrives before the peer has read makes its kernel drop what it
// had received: a refused viewer would see a broken connection instead of
// "Sorry, too many clients". So the message is handed to the kernel, the
// sending side shut (the peer reads the message, then the end of its
// stream), and the descriptor waits here, its input read and dropped, until
// the peer closes too, after which closing sends nothing more. A peer that
// has not closed within kLastWordsWait, or sends more than kLastWordsInput
// meanwhile, is reset then. At most kMaxLastWords are held: beyond that a
// connection is closed at once, as before.
//
// Owned by TWSocketServer; the socket layer hands it descriptors (see
// TCustomWSocket::CloseAfterLastWords).
#pragma once

#include <chrono>
#include <cstddef>
#include <unordered_map>

#include "net/event_loop.h"

namespace vistrel {

inline constexpr std::chrono::milliseconds kLastWordsWait{3000};
inline constexpr size_t kLastWordsInput = 64 * 1024;
inline constexpr size_t kMaxLastWords = 1024;

class TLastWords {
public:
    explicit TLastWords(TEventLoop& loop) : loop_(loop) {}
    // Closes (resets) every descriptor still held.
    ~TLastWords();
    TLastWords(const TLastWords&) = delete;
    TLastWords& operator=(const TLastWords&) = delete;

    // Takes over fd, whose output is with the kernel and whose sending side
    // is shut. False, with fd still the caller's, when it cannot be held.
    bool Hold(int fd);
    size_t Held() const { return held_.size(); }

private:
    struct THeld {
        TEventLoop::TimerId Deadline = 0;
        size_t Dropped = 0;
    };
    void OnEvents(int fd, uint32_t events);
    void Release(int fd);

    TEventLoop& loop_;
    std::unordered_map<int, THeld> held_;
};

}  // namespace vistrel
