#include "disk/recorder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vistrel {

struct TRecorder::TGameFile {
    int32_t Id = 0;
    std::string Path;
    int Fd = -1;
    // Bytes written (the file's length), and how far they are known to be
    // on the disk.
    uint64_t Size = 0;
    uint64_t Durable = 0;
    bool FsyncInFlight = false;
    // The folder's entry for the file is not yet forced to the disk.
    bool EntryUnforced = false;
    // A write failed and cutting the file back failed too: the file ends in
    // a partial record until a cut succeeds.
    bool Uncut = false;
    bool Removed = false;
    int64_t OpenedMs = 0;
    // The last description, for a file made after its game was opened.
    TGameDescription Description;
    // Where each location's packet record lies.
    std::vector<TRecordRef> Records;

    ~TGameFile() {
        if (Fd >= 0) close(Fd);
    }
};

namespace {

std::string SystemError(int error) { return std::strerror(error); }

// mkdir -p with mode 0700 for what it makes.
int MakeFolder(const std::string& path) {
    if (path.empty()) return ENOENT;
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (at == std::string::npos) break;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

bool ParseFsyncMode(std::string_view text, TFsyncMode& mode) {
    if (text == "always") mode = TFsyncMode::Always;
    else if (text == "everysec") mode = TFsyncMode::EverySec;
    else if (text == "no") mode = TFsyncMode::No;
    else return false;
    return true;
}

const char* FsyncModeName(TFsyncMode mode) {
    switch (mode) {
        case TFsyncMode::Always: return "always";
        case TFsyncMode::EverySec: return "everysec";
        case TFsyncMode::No: return "no";
    }
    return "?";
}

TRecorder::TRecorder(TEventLoop& loop, TRecorderOptions options, TDiskMetrics& metrics)
    : loop_(loop), options_(std::move(options)), metrics_(metrics), fsync_timer_(loop, kEverySecMs) {
    while (options_.DataDir.size() > 1 && options_.DataDir.back() == '/') options_.DataDir.pop_back();
    fsync_timer_.OnTimer = [this] { ForceEverySecond(); };
}

TRecorder::~TRecorder() {
    fsync_timer_.SetEnabled(false);
    // At shut-down the last writes are forced here, on the loop's thread:
    // nothing else runs any more.
    for (auto& [id, file] : files_) {
        if (file->Fd < 0) continue;
        if (options_.Fsync != TFsyncMode::No && file->Size > file->Durable) fsync(file->Fd);
        close(file->Fd);
        file->Fd = -1;
    }
    if (dir_fd_ >= 0) {
        if (options_.Fsync != TFsyncMode::No) fsync(dir_fd_);
        close(dir_fd_);
    }
}

void TRecorder::Open() {
    if (const int error = MakeFolder(options_.DataDir); error != 0)
        throw EDiskError("Cannot use the data folder " + options_.DataDir + ": " + SystemError(error));
    dir_fd_ = open(options_.DataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) throw EDiskError("Cannot open the data folder " + options_.DataDir + ": " + SystemError(errno));
    io_ = std::make_unique<TDiskIo>(loop_);
    if (options_.Fsync == TFsyncMode::EverySec) fsync_timer_.SetEnabled(true);
}

std::string TRecorder::FileNameFor(int32_t id) { return "game-" + std::to_string(id) + ".vrec"; }

std::vector<std::string> TRecorder::ListFolder() const {
    std::vector<std::string> names;
    DIR* dir = opendir(options_.DataDir.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        const std::string path = options_.DataDir + "/" + name;
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = options_.DataDir + "/" + name;
    return names;
}

void TRecorder::Adopt(int32_t id, const std::string& path, uint64_t size, int64_t openedMs,
                      std::vector<TRecordRef> records) {
    auto file = std::make_shared<TGameFile>();
    file->Records = std::move(records);
    file->Id = id;
    file->Path = path;
    file->Size = size;
    file->Durable = size;
    file->OpenedMs = openedMs;
    file->Fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    // A file that may not be written is still read back; a write to it
    // fails as any write may (the game has no sender: none comes).
    if (file->Fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
        file->Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    total_bytes_ += size;
    files_[id] = std::move(file);
}

int TRecorder::MakeFile(TGameFile& file) {
    // A name that is taken (a file left there by someone else) is never
    // overwritten: the next free one of game-<id>-<n>.vrec is used.
    std::string path;
    int fd = -1;
    for (int attempt = 1; attempt <= 100 && fd < 0; ++attempt) {
        path = options_.DataDir + "/" +
               (attempt == 1 ? FileNameFor(file.Id)
                             : "game-" + std::to_string(file.Id) + "-" + std::to_string(attempt) + ".vrec");
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    std::string start = EncodeRecordingHeader(TRecordingHeader{file.Id, file.OpenedMs});
    start += EncodeDescriptionRecord(file.Description);
    size_t done = 0;
    while (done < start.size()) {
        const ssize_t n = pwrite(fd, start.data() + done, start.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            close(fd);
            unlink(path.c_str());
            ++metrics_.WriteErrors;
            return error;
        }
        done += static_cast<size_t>(n);
    }
    file.Fd = fd;
    file.Path = path;
    file.Size = start.size();
    file.Durable = 0;
    file.EntryUnforced = true;
    total_bytes_ += start.size();
    metrics_.BytesWritten += start.size();
    return 0;
}

int TRecorder::OpenGame(int32_t id, int64_t openedMs, const TGameDescription& description) {
    RemoveGame(id);
    auto file = std::make_shared<TGameFile>();
    file->Id = id;
    file->OpenedMs = openedMs;
    file->Description = description;
    files_[id] = file;
    const int error = MakeFile(*file);
    if (error == 0) ForceSoon(file);
    return error;
}

TDiskWrite TRecorder::Append(TGameFile& file, const iovec* pieces, int count, size_t bytes) {
    TDiskWrite outcome;
    if (file.Fd < 0) {
        if (const int error = MakeFile(file); error != 0) {
            outcome.Error = error;
            return outcome;
        }
    }
    if (file.Uncut) {
        if (ftruncate(file.Fd, static_cast<off_t>(file.Size)) != 0) {
            ++metrics_.WriteErrors;
            outcome.Error = errno;
            return outcome;
        }
        file.Uncut = false;
    }
    std::vector<iovec> rest(pieces, pieces + count);
    size_t done = 0;
    size_t first = 0;
    while (done < bytes) {
        const ssize_t n = pwritev(file.Fd, rest.data() + first, static_cast<int>(rest.size() - first),
                                  static_cast<off_t>(file.Size + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            outcome.Error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
        // Past the pieces written whole, into the one written in part.
        size_t left = static_cast<size_t>(n);
        while (first < rest.size() && left >= rest[first].iov_len) left -= rest[first++].iov_len;
        if (first < rest.size()) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    if (outcome.Error != 0) {
        ++metrics_.WriteErrors;
        // Nothing of a failed write stays: the file ends where it did.
        if (done > 0 && ftruncate(file.Fd, static_cast<off_t>(file.Size)) != 0) file.Uncut = true;
        return outcome;
    }
    file.Size += bytes;
    total_bytes_ += bytes;
    metrics_.BytesWritten += bytes;
    outcome.End = file.Size;
    return outcome;
}

TDiskWrite TRecorder::WriteDescription(int32_t id, const TGameDescription& description) {
    auto it = files_.find(id);
    if (it == files_.end()) return TDiskWrite{ENOENT, 0};
    const TFilePtr file = it->second;
    file->Description = description;
    std::string record = EncodeDescriptionRecord(description);
    iovec piece{record.data(), record.size()};
    const TDiskWrite outcome = Append(*file, &piece, 1, record.size());
    if (outcome.Error == 0) ForceSoon(file);
    return outcome;
}

TDiskWrite TRecorder::WritePacket(int32_t id, int32_t location, std::string_view packet, int64_t ackMs) {
    auto it = files_.find(id);
    if (it == files_.end()) return TDiskWrite{ENOENT, 0};
    const TFilePtr file = it->second;
    char head[kTimedPacketRecordHeadSize];
    EncodeTimedPacketRecordHead(head, location, ackMs, packet);
    iovec pieces[2] = {{head, sizeof head}, {const_cast<char*>(packet.data()), packet.size()}};
    const uint64_t at = file->Size;
    const TDiskWrite outcome = Append(*file, pieces, 2, sizeof head + packet.size());
    if (outcome.Error != 0) return outcome;
    if (location >= 0) {
        if (file->Records.size() <= static_cast<size_t>(location)) file->Records.resize(static_cast<size_t>(location) + 1);
        file->Records[static_cast<size_t>(location)] = TRecordRef{at, static_cast<uint32_t>(outcome.End - at)};
    }
    ForceSoon(file);
    return outcome;
}

TRecordRef TRecorder::RecordOf(int32_t id, int32_t location) const {
    auto it = files_.find(id);
    if (it == files_.end() || location < 0 || static_cast<size_t>(location) >= it->second->Records.size()) return {};
    return it->second->Records[static_cast<size_t>(location)];
}

bool TRecorder::ReadRun(int32_t id, int32_t first, int32_t count, std::function<void(TPageRun& run)> done) {
    auto it = files_.find(id);
    if (it == files_.end() || !io_ || it->second->Fd < 0 || first < 0) return false;
    const TFilePtr file = it->second;
    const std::vector<TRecordRef>& records = file->Records;
    // The run: locations whose records lie one after another in the file,
    // in order, within kMaxPageRead.
    std::vector<std::pair<int32_t, TRecordRef>> wanted;
    uint64_t begin = 0;
    uint64_t end = 0;
    for (int32_t location = first; location < first + count && static_cast<size_t>(location) < records.size();
         ++location) {
        const TRecordRef ref = records[static_cast<size_t>(location)];
        if (ref.Offset == 0) continue;
        if (!wanted.empty() && (ref.Offset < end || ref.Offset + ref.Size - begin > kMaxPageRead)) break;
        if (wanted.empty()) begin = ref.Offset;
        end = ref.Offset + ref.Size;
        wanted.emplace_back(location, ref);
    }
    if (wanted.empty()) return false;
    auto run = std::make_shared<TPageRun>();
    run->GameId = id;
    run->Buffer.reset(new char[end - begin]);
    char* buffer = run->Buffer.get();
    const uint64_t size = end - begin;
    ++reads_in_flight_;
    io_->Read(file->Fd, begin, buffer, static_cast<uint32_t>(size),
              [this, file, run, wanted = std::move(wanted), begin, size, done = std::move(done)](int result) {
                  --reads_in_flight_;
                  if (result < 0) {
                      run->Error = result;
                  } else if (static_cast<uint64_t>(result) < size) {
                      // A short read: the file is shorter than its records say.
                      run->Error = -EIO;
                  } else {
                      metrics_.BytesRead += size;
                      const std::string_view bytes(run->Buffer.get(), size);
                      for (const auto& [location, ref] : wanted) {
                          const TRecordRead record = ReadRecord(bytes.substr(ref.Offset - begin, ref.Size));
                          int32_t at = 0;
                          int64_t ackMs = 0;
                          std::string_view packet;
                          if (record.Status == TRecordStatus::Complete &&
                              ReadAnyPacketRecord(record, at, ackMs, packet) && at == location)
                              run->Packets.emplace_back(location, packet);
                      }
                  }
                  done(*run);
              });
    return true;
}

void TRecorder::RemoveGame(int32_t id) {
    auto it = files_.find(id);
    if (it == files_.end()) return;
    const TFilePtr file = it->second;
    files_.erase(it);
    file->Removed = true;
    if (!file->Path.empty()) unlink(file->Path.c_str());
    total_bytes_ -= std::min(total_bytes_, file->Size);
    // A forced write in flight keeps the file (its callback holds it); the
    // descriptor closes when the last holder lets go.
}

std::string TRecorder::PathOf(int32_t id) const {
    auto it = files_.find(id);
    return it == files_.end() || it->second->Fd < 0 ? std::string() : it->second->Path;
}

int TRecorder::OpenForReading(int32_t id, uint64_t& size) const {
    auto it = files_.find(id);
    if (it == files_.end() || it->second->Fd < 0) {
        errno = ENOENT;
        return -1;
    }
    const int fd = open(it->second->Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) size = it->second->Size;
    return fd;
}

uint64_t TRecorder::DurableEnd(int32_t id) const {
    auto it = files_.find(id);
    if (it == files_.end()) return ~uint64_t{0};
    return it->second->Durable;
}

void TRecorder::ForceSoon(const TFilePtr& file) {
    // everysec: the timer takes it; no: nothing.
    if (options_.Fsync == TFsyncMode::Always && !file->FsyncInFlight) Force(file);
}

void TRecorder::Force(const TFilePtr& file) {
    if (!io_ || file->Fd < 0 || file->FsyncInFlight) return;
    file->FsyncInFlight = true;
    const uint64_t end = file->Size;
    io_->Fsync(file->Fd, [this, file, end](int result) { Forced(file, end, result); });
}

void TRecorder::Forced(const TFilePtr& file, uint64_t end, int result) {
    if (result == 0 && file->EntryUnforced && dir_fd_ >= 0 && !file->Removed) {
        // A new file's entry in the folder is forced too before its bytes
        // count as on the disk.
        io_->Fsync(dir_fd_, [this, file, end](int dirResult) {
            if (dirResult == 0) file->EntryUnforced = false;
            Forced(file, end, dirResult);
        });
        return;
    }
    file->FsyncInFlight = false;
    if (result < 0) {
        ++metrics_.FsyncErrors;
        if (OnError && !file->Removed)
            OnError("Cannot force the recording " + file->Path + " to the disk: " + SystemError(-result));
    } else {
        ++metrics_.Fsyncs;
    }
    if (file->Removed) return;
    // A failed forced write still ends the wait: the bytes were written and
    // the relay's answers go on in order; the log says what failed.
    file->Durable = std::max(file->Durable, end);
    if (options_.Fsync == TFsyncMode::Always) {
        if (OnDurable) OnDurable(file->Id, file->Durable);
        // Written meanwhile: forced by the next one.
        if (file->Size > file->Durable) Force(file);
    }
}

void TRecorder::ForceEverySecond() {
    if (options_.Fsync == TFsyncMode::No) return;
    for (auto& [id, file] : files_)
        if (file->Size > file->Durable && !file->FsyncInFlight) Force(file);
}

}  // namespace vistrel
