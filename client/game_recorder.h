// TGameRecorder: what a viewer receives of one game, written as a recording
// (core/recording_format.h): the header, a description record whenever the
// game's type, name or mod differ from the last one written (a change of
// the viewer count alone is none), and a packet record for every
// DEMOPACKET and DEMORESTART, under the packet's own location. Each record
// reaches the file whole, with one write(2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/recording_writer.h"
#include "core/recording_format.h"

namespace vistrel::client {

class TGameRecorder {
public:
    // Creates the file and writes its header. Throws ERecordingFileError.
    TGameRecorder(const std::string& path, const TRecordingHeader& header);

    // Writes a description record when this one differs from the last.
    // True when it wrote one.
    bool Describe(const TGameDescription& description);
    // Writes the packet's record. False (nothing written) for a packet that
    // is no DEMOPACKET or DEMORESTART of at least 16 bytes whose length field
    // is its size, or whose location is negative.
    bool Packet(std::string_view packet);
    // Forces the file to the disk and closes it.
    void Close() { writer_.Close(); }

    size_t Packets() const { return packets_; }
    uint64_t Bytes() const { return writer_.Written(); }

private:
    TRecordingWriter writer_;
    std::optional<TGameDescription> described_;
    size_t packets_ = 0;
    std::string record_;
};

}  // namespace vistrel::client
