// Reading a recording back at start-up: the header, then every sound record
// in file order, handed to a visitor. A file is read in large runs straight
// into one buffer, and a packet reaches the visitor as a view into it, so the
// visitor's own copy is the only one.
//
// Damage is answered as docs/recording-format.md says: a torn last record
// (the writer stopped mid-record) is cut off the file, so that later appends
// follow a sound record; a record whose CRC fails is skipped whole, and after
// a head no writer makes the reading goes on at the next head a writer makes
// (StepRecord, FindRecordHead), each packet from there on checked as a
// camera's is; a file that is not a recording is not read further and never
// changed. The work is linear in the file, whatever its bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/recording_format.h"

namespace vistrel {

class TRecordingVisitor {
public:
    virtual ~TRecordingVisitor() = default;
    // The header is sound. False leaves the file alone: nothing more is read
    // and nothing is cut.
    virtual bool Begin(const TRecordingHeader& header) = 0;
    virtual void Description(const TGameDescription& description) = 0;
    // A packet record's packet, and the file offset its record starts at.
    virtual void Packet(int32_t location, std::string_view packet, uint64_t offset) = 0;
    // A timed packet record's (version 2): with when it was acknowledged.
    // Unless a visitor cares for the time, it is read as a plain packet.
    virtual void TimedPacket(int32_t location, int64_t ackMs, std::string_view packet, uint64_t offset) {
        (void)ackMs;
        Packet(location, packet, offset);
    }
    // bytes at offset were skipped: damaged records (a CRC that fails, a
    // head no writer makes, a payload that does not read as its kind or, after
    // a search, fails its check).
    virtual void Damaged(uint64_t offset, uint64_t bytes) = 0;
    // The last record was incomplete: the file was cut to offset (bytes
    // removed), or would have been if it could be changed.
    virtual void TornTail(uint64_t offset, uint64_t bytes) = 0;
};

enum class TScanOutcome {
    Read,           // the header was sound and the records were read
    LeftAlone,      // the visitor declined the header
    NotARecording,  // no format name at the start
    TooShort,       // the format name, but no whole header
    DamagedHeader,  // the header's CRC fails
    NewerVersion,   // a version this program cannot read
    Unreadable,     // a read (or the cut of a torn tail) failed: Error
};

struct TScanResult {
    TScanOutcome Outcome = TScanOutcome::Unreadable;
    // The file's length after the scan (after a torn tail was cut).
    uint64_t Size = 0;
    // The errno of a failed read or cut.
    int Error = 0;
    // The header's version, for NewerVersion.
    uint32_t Version = 0;
};

// Reads the recording open on fd from its start. With cutTornTail, fd is open
// for writing too and a torn tail is cut with ftruncate; without, the file is
// never changed and a torn tail is only reported.
TScanResult ScanRecording(int fd, TRecordingVisitor& visitor, bool cutTornTail = true);

}  // namespace vistrel
