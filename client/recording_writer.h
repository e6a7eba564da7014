// TRecordingWriter: a recording file written from the front. Every piece
// (the header, each whole record) goes to the kernel with one write(2), so a
// reader, or a crash, sees whole records and at most one torn last record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/recording_file_error.h"

namespace vistrel::client {

class TRecordingWriter {
public:
    // Creates the file, or empties an existing one. Throws
    // ERecordingFileError.
    explicit TRecordingWriter(const std::string& path);
    // Closes without forcing the file to the disk.
    ~TRecordingWriter();
    TRecordingWriter(const TRecordingWriter&) = delete;
    TRecordingWriter& operator=(const TRecordingWriter&) = delete;

    // Writes the bytes; more than one write(2) only when the kernel takes
    // fewer. Throws ERecordingFileError (a full disk, a file size limit).
    void Write(std::string_view bytes);
    // Forces the file to the disk and closes it. Throws ERecordingFileError.
    void Close();

    uint64_t Written() const { return written_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    uint64_t written_ = 0;
};

}  // namespace vistrel::client
