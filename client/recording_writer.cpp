#include "client/recording_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vistrel::client {

TRecordingWriter::TRecordingWriter(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw ERecordingFileError(path + ": " + std::strerror(errno));
}

TRecordingWriter::~TRecordingWriter() {
    if (fd_ >= 0) close(fd_);
}

void TRecordingWriter::Write(std::string_view bytes) {
    if (fd_ < 0) throw ERecordingFileError(path_ + ": already closed");
    while (!bytes.empty()) {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ERecordingFileError(path_ + ": " + (n < 0 ? std::strerror(errno) : "nothing written"));
        bytes.remove_prefix(static_cast<size_t>(n));
        written_ += static_cast<uint64_t>(n);
    }
}

void TRecordingWriter::Close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    if (close(fd) != 0 || !synced) throw ERecordingFileError(path_ + ": " + std::strerror(synced ? errno : error));
}

}  // namespace vistrel::client
