// TRecordingReader: a recording file (core/recording_format.h) read from
// the front, one sound record at a time. The file is mapped, not copied, so
// a recording of any size costs its pages only while they are read. Damage
// never stops the reading: a record whose CRC fails is reported and skipped
// whole, one whose head no writer makes (a length beyond the limit) up to the
// next head a writer makes, and a torn last record is reported and ignored,
// by the rules and in the linear time of StepRecord.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "client/recording_file_error.h"
#include "core/recording_format.h"

namespace vistrel::client {

// One sound record: where it starts in the file, its kind and its payload
// (a view into the mapped file, valid while the reader lives).
struct TRecordingEntry {
    size_t Offset = 0;
    uint32_t Kind = 0;
    std::string_view Payload;
};

class TRecordingReader {
public:
    // Maps the file and reads its header. Throws ERecordingFileError when the
    // file cannot be read, is not a recording, or is of a version this
    // program does not know.
    explicit TRecordingReader(const std::string& path);
    ~TRecordingReader();
    TRecordingReader(const TRecordingReader&) = delete;
    TRecordingReader& operator=(const TRecordingReader&) = delete;

    const TRecordingHeader& Header() const { return header_; }
    // The header's CRC fails: its identifier and time are not to be trusted;
    // the records, which carry CRCs of their own, are read all the same.
    bool HeaderDamaged() const { return header_damaged_; }
    size_t Size() const { return size_; }

    // The next sound record; false at the end of the file. Damage passed on
    // the way is told to `damage`, one line of text each.
    bool Next(TRecordingEntry& entry, const std::function<void(const std::string&)>& damage);

private:
    std::string_view View() const { return {data_, size_}; }

    const char* data_ = nullptr;
    size_t size_ = 0;
    size_t at_ = kRecordingHeaderSize;
    TRecordingHeader header_;
    bool header_damaged_ = false;
};

}  // namespace vistrel::client
