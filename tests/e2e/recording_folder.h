// A temporary data folder for the recording tests, removed with what it
// holds, and small file helpers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/recording_format.h"

namespace vistrel::testing {

class TRecordingFolder {
public:
    TRecordingFolder() {
        std::string pattern = ::testing::TempDir() + "/vistrel-recordings-XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "no temporary folder";
        // The relay makes its own folder below this one (0700).
        path_ = pattern + "/data";
        root_ = pattern;
    }
    ~TRecordingFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TRecordingFolder(const TRecordingFolder&) = delete;
    TRecordingFolder& operator=(const TRecordingFolder&) = delete;

    const std::string& Path() const noexcept { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string root_;
    std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// The relay's record of packet at location in a recording's bytes (a timed
// packet record: a test cannot know its time), or "".
inline std::string RecordIn(const std::string& bytes, int32_t location, const std::string& packet) {
    for (size_t at = bytes.find(packet); at != std::string::npos; at = bytes.find(packet, at + 1)) {
        if (at < kTimedPacketRecordHeadSize) continue;
        std::string record = bytes.substr(at - kTimedPacketRecordHeadSize, kTimedPacketRecordHeadSize + packet.size());
        const TRecordRead read = ReadRecord(record);
        int32_t l = 0;
        int64_t ackMs = 0;
        std::string_view p;
        if (read.Status == TRecordStatus::Complete && read.Kind == static_cast<uint32_t>(TRecordKind::TimedPacket) &&
            ReadAnyPacketRecord(read, l, ackMs, p) && l == location && p == packet)
            return record;
    }
    return {};
}

}  // namespace vistrel::testing
