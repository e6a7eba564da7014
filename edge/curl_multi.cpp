#include "edge/curl_multi.h"

#include <curl/curl.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/ascii_case.h"

namespace vistrel {

namespace {

// What is kept of a streamed request's answer other than a 200 (an error
// page), whose body no reader takes.
constexpr size_t kMaxUnreadBody = size_t{64} << 10;
// The longest wait our loop is told to keep for libcurl.
constexpr long kLongestWaitMs = 3600 * 1000;
constexpr std::chrono::milliseconds kConnectTimeout{3000};

void InitCurlOnce() {
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)done;
}

CURLM* Multi(void* multi) { return static_cast<CURLM*>(multi); }

// Whether a header line is "name: value", and its value (blanks trimmed).
bool HeaderValue(std::string_view line, std::string_view name, std::string& value) {
    if (line.size() <= name.size() || line[name.size()] != ':' || !StartsWithIgnoringCase(line, name)) return false;
    std::string_view rest = line.substr(name.size() + 1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n' || rest.back() == ' ' || rest.back() == '\t'))
        rest.remove_suffix(1);
    value.assign(rest);
    return true;
}

// What the metrics call a failed transfer's reason.
TFetchFailure FailureOf(CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION: return TFetchFailure::Connect;
        case CURLE_OPERATION_TIMEDOUT: return TFetchFailure::Timeout;
        default: return TFetchFailure::Other;
    }
}

}  // namespace

struct TCurlMulti::TTransfer {
    TRequestId Id = 0;
    CURL* Easy = nullptr;
    curl_slist* Headers = nullptr;
    size_t MaxBody = 0;
    THttpFetch Fetch;
    TDone Done;
    TChunk Chunk;
    bool Paused = false;
    char ErrorText[CURL_ERROR_SIZE] = {};
};

struct TCurlCallbacks {
    static int Socket(CURL* /*easy*/, curl_socket_t fd, int what, void* userp, void* /*socketp*/) {
        auto* self = static_cast<TCurlMulti*>(userp);
        TEventLoop& loop = self->loop_;
        if (what == CURL_POLL_REMOVE) {
            if (self->watched_.erase(fd) != 0) loop.Unwatch(fd);
            return 0;
        }
        uint32_t interest = 0;
        if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) interest |= TEventLoop::kReadable;
        if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) interest |= TEventLoop::kWritable;
        int err = 0;
        if (self->watched_.count(fd) != 0 && loop.IsWatched(fd)) {
            err = loop.Modify(fd, interest);
        } else {
            err = loop.Watch(fd, interest, [self, fd](uint32_t events) {
                int flags = 0;
                if (events & (TEventLoop::kReadable | TEventLoop::kHangup)) flags |= CURL_CSELECT_IN;
                if (events & TEventLoop::kWritable) flags |= CURL_CSELECT_OUT;
                if (events & TEventLoop::kError) flags |= CURL_CSELECT_ERR;
                self->Action(fd, flags);
            });
        }
        if (err == 0) self->watched_[fd] = interest;
        return err == 0 ? 0 : -1;
    }

    static int Timer(CURLM* /*multi*/, long timeoutMs, void* userp) {
        auto* self = static_cast<TCurlMulti*>(userp);
        if (self->deadline_ != 0) {
            self->loop_.CancelTimer(self->deadline_);
            self->deadline_ = 0;
        }
        if (timeoutMs < 0) return 0;
        self->deadline_ = self->loop_.AddTimer(std::chrono::milliseconds(std::min(timeoutMs, kLongestWaitMs)), [self] {
            self->deadline_ = 0;
            self->Action(CURL_SOCKET_TIMEOUT, 0);
        });
        return 0;
    }

    static size_t Write(char* data, size_t size, size_t count, void* userp) {
        auto* transfer = static_cast<TCurlMulti::TTransfer*>(userp);
        const size_t bytes = size * count;
        if (transfer->Chunk) {
            if (transfer->Fetch.Status == 0)
                curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &transfer->Fetch.Status);
            if (transfer->Fetch.Status == 200) {
                switch (transfer->Chunk(transfer->Fetch, std::string_view(data, bytes))) {
                    case TChunkAnswer::Take: return bytes;
                    case TChunkAnswer::Pause: transfer->Paused = true; return CURL_WRITEFUNC_PAUSE;
                    case TChunkAnswer::Stop: transfer->Fetch.Stopped = true; return 0;
                }
            }
        }
        const size_t bound = transfer->Chunk ? std::min(transfer->MaxBody, kMaxUnreadBody) : transfer->MaxBody;
        if (transfer->Fetch.Body.size() + bytes > bound) {
            transfer->Fetch.TooLarge = true;
            return 0;  // ends the transfer
        }
        transfer->Fetch.Body.append(data, bytes);
        return bytes;
    }

    static size_t Header(char* data, size_t size, size_t count, void* userp) {
        auto* transfer = static_cast<TCurlMulti::TTransfer*>(userp);
        const size_t bytes = size * count;
        const std::string_view line(data, bytes);
        // A new status line (after a 100 Continue, say) starts a new head.
        if (line.rfind("HTTP/", 0) == 0) {
            transfer->Fetch.CacheControl.clear();
            transfer->Fetch.ETag.clear();
        }
        std::string value;
        if (HeaderValue(line, "Cache-Control", value)) transfer->Fetch.CacheControl = value;
        else if (HeaderValue(line, "ETag", value)) transfer->Fetch.ETag = value;
        return bytes;
    }
};

TCurlMulti::TCurlMulti(TEventLoop& loop) : loop_(loop) {
    InitCurlOnce();
    multi_ = curl_multi_init();
    curl_multi_setopt(Multi(multi_), CURLMOPT_SOCKETFUNCTION, &TCurlCallbacks::Socket);
    curl_multi_setopt(Multi(multi_), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(Multi(multi_), CURLMOPT_TIMERFUNCTION, &TCurlCallbacks::Timer);
    curl_multi_setopt(Multi(multi_), CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(Multi(multi_), CURLMOPT_MAX_TOTAL_CONNECTIONS, 64L);
}

TCurlMulti::~TCurlMulti() {
    if (resume_timer_ != 0) loop_.CancelTimer(resume_timer_);
    for (TEventLoop::TimerId timer : failed_timers_)
        if (timer != 0) loop_.CancelTimer(timer);
    while (!transfers_.empty()) Forget(*transfers_.begin()->second);
    curl_multi_cleanup(Multi(multi_));
    for (const auto& [fd, interest] : watched_) loop_.Unwatch(fd);
    watched_.clear();
    if (deadline_ != 0) loop_.CancelTimer(deadline_);
}

TCurlMulti::TRequestId TCurlMulti::Get(const std::string& url, std::chrono::milliseconds timeout, size_t maxBody,
                                       TDone done, const std::vector<std::string>& headers, TChunk chunk) {
    auto transfer = std::make_unique<TTransfer>();
    transfer->Id = next_id_++;
    transfer->MaxBody = maxBody;
    transfer->Done = std::move(done);
    transfer->Chunk = std::move(chunk);
    CURL* easy = curl_easy_init();
    transfer->Easy = easy;
    for (const std::string& header : headers) transfer->Headers = curl_slist_append(transfer->Headers, header.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(timeout, kConnectTimeout).count()));
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBody));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "vistreld-edge");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TCurlCallbacks::Write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TCurlCallbacks::Header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->ErrorText);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    if (transfer->Headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->Headers);
    const TRequestId id = transfer->Id;
    TTransfer& ref = *transfer;
    transfers_.emplace(id, std::move(transfer));
    if (curl_multi_add_handle(Multi(multi_), easy) != CURLM_OK) {
        // Answered as a failed transfer, from the loop as any answer is.
        ref.Fetch.Error = "the transfer could not be started";
        ref.Fetch.Failure = TFetchFailure::Other;
        failed_timers_.push_back(0);
        const size_t slot = failed_timers_.size() - 1;
        failed_timers_[slot] = loop_.AddTimer(std::chrono::milliseconds(0), [this, id, slot] {
            failed_timers_[slot] = 0;
            if (std::all_of(failed_timers_.begin(), failed_timers_.end(), [](auto t) { return t == 0; }))
                failed_timers_.clear();
            auto it = transfers_.find(id);
            if (it == transfers_.end()) return;
            std::unique_ptr<TTransfer> failed = std::move(it->second);
            transfers_.erase(it);
            curl_slist_free_all(failed->Headers);
            curl_easy_cleanup(failed->Easy);
            if (failed->Done) failed->Done(failed->Fetch);
        });
    }
    return id;
}

void TCurlMulti::Cancel(TRequestId id) {
    auto it = transfers_.find(id);
    if (it != transfers_.end()) Forget(*it->second);
}

void TCurlMulti::Resume(TRequestId id) {
    const auto it = transfers_.find(id);
    if (it == transfers_.end() || !it->second->Paused) return;
    resumes_.push_back(id);
    // Never from inside libcurl, where a reader asks for it.
    if (resume_timer_ == 0)
        resume_timer_ = loop_.AddTimer(std::chrono::milliseconds(0), [this] {
            resume_timer_ = 0;
            ResumeDue();
        });
}

void TCurlMulti::ResumeDue() {
    std::vector<TRequestId> due;
    due.swap(resumes_);
    for (TRequestId id : due) {
        const auto it = transfers_.find(id);
        if (it == transfers_.end() || !it->second->Paused || !it->second->Easy) continue;
        it->second->Paused = false;
        // May offer the held piece at once, which may pause it again.
        curl_easy_pause(it->second->Easy, CURLPAUSE_CONT);
    }
    CollectEnded();
}

void TCurlMulti::Forget(TTransfer& transfer) {
    curl_multi_remove_handle(Multi(multi_), transfer.Easy);
    curl_easy_cleanup(transfer.Easy);
    curl_slist_free_all(transfer.Headers);
    transfers_.erase(transfer.Id);
}

void TCurlMulti::Action(int fd, int flags) {
    int running = 0;
    curl_multi_socket_action(Multi(multi_), fd, flags, &running);
    CollectEnded();
}

void TCurlMulti::CollectEnded() {
    std::vector<std::unique_ptr<TTransfer>> ended;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(Multi(multi_), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        TTransfer* transfer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
        curl_multi_remove_handle(Multi(multi_), easy);
        if (!transfer) {
            curl_easy_cleanup(easy);
            continue;
        }
        if (result == CURLE_OK) {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &transfer->Fetch.Status);
        } else if (transfer->Fetch.Stopped) {
            transfer->Fetch.Error = "ended by its reader";
        } else {
            transfer->Fetch.Status = 0;
            if (result == CURLE_FILESIZE_EXCEEDED) transfer->Fetch.TooLarge = true;
            transfer->Fetch.Error = transfer->ErrorText[0] != '\0' ? transfer->ErrorText : curl_easy_strerror(result);
            if (transfer->Fetch.TooLarge) transfer->Fetch.Error = "the answer is larger than its bound";
            transfer->Fetch.Failure = transfer->Fetch.TooLarge ? TFetchFailure::None : FailureOf(result);
        }
        curl_easy_cleanup(easy);
        curl_slist_free_all(transfer->Headers);
        transfer->Easy = nullptr;
        transfer->Headers = nullptr;
        auto it = transfers_.find(transfer->Id);
        if (it != transfers_.end()) {
            ended.push_back(std::move(it->second));
            transfers_.erase(it);
        }
    }
    // Callbacks last: one may start or cancel requests.
    for (auto& transfer : ended)
        if (transfer->Done) transfer->Done(transfer->Fetch);
}

}  // namespace vistrel
