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
    // The rules and the linear work of StepRecord: a damaged record is
    // skipped whole, and a search looks only for heads a writer makes, never
    // inside a record whose head is one.
    while (at_ < size_) {
        const std::string_view rest = View().substr(at_);
        const TRecordStepRead step = StepRecord(rest, true);
        switch (step.Step) {
            case TRecordStep::Record:
                entry.Offset = at_;
                entry.Kind = step.Read.Kind;
                entry.Payload = step.Read.Payload;
                at_ += step.Size;
                return true;
            case TRecordStep::NeedMore:
            case TRecordStep::Torn:
                damage("the last record (at offset " + std::to_string(at_) + ", " + std::to_string(rest.size()) +
                       " bytes) is torn: the file ends inside it; ignored");
                at_ = size_;
                return false;
            case TRecordStep::Skip:
                damage("the record at offset " + std::to_string(at_) + " is damaged (its CRC does not match); " +
                       std::to_string(step.Size) + " bytes skipped");
                at_ += step.Size;
                break;
            case TRecordStep::Search: {
                const size_t skip = FindRecordHead(rest, 1, true);
                // (ReadRecord judges a length beyond the limit without a CRC.)
                const bool tooLong = ReadRecord(rest).Status == TRecordStatus::Malformed;
                damage("the record at offset " + std::to_string(at_) + " is damaged (" +
                       (tooLong ? "its length is beyond the limit" : "its head is not one a writer makes") + "); " +
                       std::to_string(skip) + " bytes skipped");
                at_ += skip;
                break;
            }
        }
    }
    return false;
}

}  // namespace vistrel::client
