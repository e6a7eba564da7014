// restore_load [MiB] [folder]: how long the relay takes to bring recordings
// back at start-up, next to what `cat` needs to read the same files. Writes
// 100 recordings totalling MiB (default 1024) of ~1.4 KB demo packets into
// the folder (default a new one under /tmp), then, twice each and taking
// turns, times `cat FILES > /dev/null` and a TMainForm's FormCreate on the
// folder (the restore runs before it listens: it reads and checks every
// record, and leaves the packets in their files, paged out). The page cache is warm for
// both (the files were just written and read); where /proc/sys/vm/drop_caches
// may be written, one more pair is timed after dropping it.
// RESTORE_LOAD_DAMAGE=BYTES flips a byte every BYTES bytes of every file.
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "core/recording_format.h"
#include "relay/main_form.h"
#include "testing/main_form_probe.h"
#include "testing/recording_front_end.h"
#include "bench/load_common.h"

using namespace vistrel;
using load::Clock;
using load::Ms;

namespace {

constexpr int kFiles = 100;

// A demo packet of noise whose payload passes the relay's check (stored by
// zlib at level 0), as every packet the relay writes does: after damage the
// restore checks the packets it finds.
std::string SoundPacket(int32_t location, std::mt19937& rng) {
    const std::string noise = load::NoisePacket(location, rng).substr(16);
    uLongf size = compressBound(static_cast<uLong>(noise.size()));
    std::string packet(16 + size, '\0');
    compress2(reinterpret_cast<Bytef*>(packet.data() + 16), &size, reinterpret_cast<const Bytef*>(noise.data()),
              static_cast<uLong>(noise.size()), 0);
    packet.resize(16 + size);
    WriteInt32(packet, PacketOffset::Type, PacketType::DEMOPACKET);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(packet.size()));
    WriteInt32(packet, PacketOffset::Check,
               static_cast<int32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(noise.data()), static_cast<uInt>(noise.size()))));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet;
}

// damageEvery: 0, or a flipped byte every that many bytes after the header,
// so the restore skips and searches all through the folder.
std::vector<std::string> WriteRecordings(const std::string& folder, size_t total, size_t damageEvery) {
    std::filesystem::create_directories(folder);
    std::mt19937 rng(1);
    std::vector<std::string> paths;
    const size_t perFile = total / kFiles;
    for (int f = 1; f <= kFiles; ++f) {
        std::string file = EncodeRecordingHeader(TRecordingHeader{f, 0});
        file += EncodeDescriptionRecord(TGameDescription{1, "game " + std::to_string(f), "mod", "cam", "127.0.0.1"});
        for (int32_t location = 0; file.size() < perFile; ++location)
            AppendPacketRecord(file, location, SoundPacket(location, rng));
        if (damageEvery != 0)
            for (size_t at = damageEvery; at < file.size(); at += damageEvery) file[at] ^= static_cast<char>(rng() | 1);
        paths.push_back(folder + "/game-" + std::to_string(f) + ".vrec");
        std::ofstream(paths.back(), std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    return paths;
}

double TimeCat(const std::vector<std::string>& paths) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(1);
        std::vector<char*> argv{const_cast<char*>("cat")};
        for (const std::string& p : paths) argv.push_back(const_cast<char*>(p.c_str()));
        argv.push_back(nullptr);
        execvp("cat", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return Ms(Clock::now() - start);
}

double TimeRestore(const std::string& folder, uint64_t& packets) {
    TEventLoop loop;
    testing::TRecordingFrontEnd front;
    const auto start = Clock::now();
    TMainForm form(loop, front, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
    form.SetRecording(TRecorderOptions{folder, TFsyncMode::No, 0});
    if (!form.FormCreate()) load::FailRun("restore_load", "FormCreate");
    const double took = Ms(Clock::now() - start);
    packets = 0;
    const TGameList& games = *form.Games();
    for (int32_t i = 0; i < games.Count(); ++i) packets += static_cast<uint64_t>(games.At(i).Count());
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 1024;
    std::string folder = argc > 2 ? argv[2] : "";
    bool made = false;
    if (folder.empty()) {
        char pattern[] = "/tmp/restore-load-XXXXXX";
        if (!mkdtemp(pattern)) load::FailRun("restore_load", "mkdtemp");
        folder = std::string(pattern) + "/data";
        made = true;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* damage = std::getenv("RESTORE_LOAD_DAMAGE");
    const size_t damageEvery = damage ? static_cast<size_t>(std::atol(damage)) : 0;
    const std::vector<std::string> paths = WriteRecordings(folder, mib << 20, damageEvery);
    std::printf("%d recordings, %zu MiB of ~1.4 KB packets in %s", kFiles, mib, folder.c_str());
    if (damageEvery != 0) std::printf(", a byte flipped every %zu bytes", damageEvery);
    std::printf("\n");
    uint64_t packets = 0;
    const int rounds = std::getenv("RESTORE_LOAD_ROUNDS") ? std::atoi(std::getenv("RESTORE_LOAD_ROUNDS")) : 2;
    for (int round = 0; round < rounds; ++round) {
        const double cat = TimeCat(paths);
        const double restore = TimeRestore(folder, packets);
        std::printf("warm page cache: cat %.0f ms, restore %.0f ms (%llu packets), ratio %.2fx\n", cat, restore,
                    static_cast<unsigned long long>(packets), restore / cat);
    }
    if (load::DropCaches()) {
        const double cat = TimeCat(paths);
        load::DropCaches();
        const double restore = TimeRestore(folder, packets);
        std::printf("page cache dropped first: cat %.0f ms, restore %.0f ms, ratio %.2fx\n", cat, restore,
                    restore / cat);
    } else {
        std::printf("the page cache cannot be dropped here\n");
    }
    if (made) std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
    return 0;
}
