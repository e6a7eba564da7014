#include "client/recording_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vistrel::client {

TRecordingReader::TRecordingReader(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ERecordingFileError(path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        throw ERecordingFileError(path + ": " + std::strerror(error));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        throw ERecordingFileError(path + ": not a regular file");
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
        void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            const int error = errno;
            close(fd);
            throw ERecordingFileError(path + ": " + std::strerror(error));
        }
        data_ = static_cast<const char*>(mapped);
        madvise(mapped, size_, MADV_SEQUENTIAL);
    }
    close(fd);

    const THeaderRead read = ReadRecordingHeader(View());
    switch (read.Status) {
        case THeaderStatus::Valid: header_ = read.Header; return;
        case THeaderStatus::BadCrc: header_damaged_ = true; return;
        case THeaderStatus::Short:
        case THeaderStatus::NotARecording: break;
        case THeaderStatus::UnsupportedVersion:
            if (data_) munmap(const_cast<char*>(data_), size_);
            throw ERecordingFileError(path + ": a recording of version " + std::to_string(read.Version) +
                                      ", which this program cannot read");
    }
    if (data_) munmap(const_cast<char*>(data_), size_);
    throw ERecordingFileError(path + ": not a recording");
}

TRecordingReader::~TRecordingReader() {
    if (data_) munmap(const_cast<char*>(data_), size_);
}

bool TRecordingReader::Next(TRecordingEntry& entry, const std::function<void(const std::string&)>& damage) {
    while (at_ < size_) {
        const std::string_view rest = View().substr(at_);
        const TRecordRead read = ReadRecord(rest);
        if (read.Status == TRecordStatus::Complete) {
            entry.Offset = at_;
            entry.Kind = read.Kind;
            entry.Payload = read.Payload;
            at_ += read.Size;
            return true;
        }
        if (read.Status == TRecordStatus::NeedMore) {
            // Nothing whole follows: the writer stopped inside this record.
            damage("the last record (at offset " + std::to_string(at_) + ", " + std::to_string(rest.size()) +
                   " bytes) is torn: the file ends inside it; ignored");
            at_ = size_;
            return false;
        }
        const size_t skip = FindNextRecord(rest);
        damage("the record at offset " + std::to_string(at_) + " is damaged (" +
               (read.Status == TRecordStatus::BadCrc ? "its CRC does not match" : "its length is beyond the limit") +
               "); " + std::to_string(skip) + " bytes skipped");
        at_ += skip;
    }
    return false;
}

}  // namespace vistrel::client
