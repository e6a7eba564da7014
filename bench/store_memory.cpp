// Resident memory a stored packet costs: stores 200,000 packets of 1 KiB in
// one game, as the sender handling does (copied out of a reused receive
// buffer), and prints the resident-set growth per packet above its bytes.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/game_list.h"
#include "core/protocol.h"

namespace {

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t packets = argc > 1 ? std::stoi(argv[1]) : 200000;
    constexpr size_t kPacketSize = 1024;
    std::string receiveBuffer(kPacketSize, 'd');

    vistrel::TGameList games;
    vistrel::TActiveGameList& game = games.Add(nullptr);
    const long before = ResidentBytes();
    for (int32_t location = 0; location < packets; ++location) {
        vistrel::WriteInt32(receiveBuffer, vistrel::PacketOffset::Location, location);
        game.StorePacketAt(location, receiveBuffer, vistrel::kTagDemoPacket);
    }
    const long after = ResidentBytes();
    const double perPacket = static_cast<double>(after - before) / packets;
    std::printf("stored %d packets of %zu bytes: resident growth %ld bytes, %.1f bytes per packet, "
                "%.1f above the packet's own bytes (entry %zu bytes)\n",
                packets, kPacketSize, after - before, perPacket, perPacket - kPacketSize,
                sizeof(vistrel::TPacketState));
    return 0;
}
