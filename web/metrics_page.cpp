#include "web/metrics_page.h"

#include <cstdint>
#include <iterator>
#include <string>

#include "core/protocol.h"
#include "web/game_metrics.h"
#include "web/json_bodies.h"
#include "web/metrics_text.h"
#include "web/process_metrics.h"

namespace vistrel {

namespace {

const char* const kPortNames[kConnectionKindCount] = {"sender", "viewer"};
const char* const kCloseReasonNames[kCloseReasonCount] = {"normal", "slow_reader", "bound_exceeded", "kicked",
                                                          "refused"};
const char* const kDemoCheckNames[kDemoCheckCount] = {"verified",    "checksum_mismatch", "not_decompressed",
                                                      "too_large",   "undecodable",       "refused",
                                                      "over_budget", "over_disk_limit",   "not_written"};
// The packet types each port takes.
const int32_t kSenderTypes[] = {PacketType::GAMEINFO, PacketType::ACKNAK, PacketType::SENDTEXT,
                                PacketType::DEMOPACKET, PacketType::DEMORESTART};
const int32_t kViewerTypes[] = {PacketType::ACKNAK, PacketType::WAITFORGAME, PacketType::SENDTEXT,
                                PacketType::LEAVEGAME, PacketType::USERINFO};

// A histogram family: its buckets made cumulative, each bound as the format
// writes numbers, then +Inf, the sum and the count.
template <const auto& kBounds>
void Histogram(TMetricsText& out, const std::string& name, std::string_view help, const THistogram<kBounds>& h) {
    out.Family(name, "histogram", help);
    const std::string bucket = name + "_bucket";
    uint64_t cumulative = 0;
    for (size_t b = 0; b < std::size(kBounds); ++b) {
        cumulative += h.Buckets[b];
        out.Sample(bucket, {{"le", FormatMetricValue(kBounds[b])}}, cumulative);
    }
    out.Sample(bucket, {{"le", "+Inf"}}, h.Count);
    out.Sample(name + "_sum", h.Sum);
    out.Sample(name + "_count", h.Count);
}

}  // namespace

std::string MetricsPage(const TMainForm& form, const THttpServer& server, const TOriginRoutes& origin,
                        std::chrono::system_clock::time_point started, std::string_view version,
                        const TMoreMetrics& more) {
    const TUsage usage = Usage(form);
    const TRelayMetrics& m = form.Metrics();
    const TMemoryBudget& budget = form.MemoryBudget();
    TMetricsText out;
    out.Family("vistrel_start_time_seconds", "gauge", "When the relay started, in seconds since the Unix epoch.");
    out.Sample("vistrel_start_time_seconds",
               static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                       started.time_since_epoch()).count()));
    out.Family("vistrel_games", "gauge", "Games in the registry.");
    out.Sample("vistrel_games", static_cast<uint64_t>(usage.Games));
    out.Family("vistrel_senders", "gauge", "Sender connections.");
    out.Sample("vistrel_senders", static_cast<uint64_t>(form.DemoSenders().ClientCount()));
    out.Family("vistrel_viewers", "gauge", "Viewer connections.");
    out.Sample("vistrel_viewers", static_cast<uint64_t>(form.DemoViewers().ClientCount()));
    out.Family("vistrel_stored_packets", "gauge", "Demo packets stored, over every game.");
    out.Sample("vistrel_stored_packets", static_cast<uint64_t>(usage.StoredPackets));
    out.Family("vistrel_stored_bytes", "gauge", "Bytes of the stored demo packets, over every game.");
    out.Sample("vistrel_stored_bytes", usage.StoredBytes);
    const TBroadcastDelay& delay = form.BroadcastDelay();
    uint64_t held = 0;
    if (const TGameList* games = form.Games())
        for (int32_t i = 0; i < games->Count(); ++i) held += static_cast<uint64_t>(delay.HeldBack(games->At(i)));
    out.Family("vistrel_broadcast_delay_seconds", "gauge", "The broadcast delay in force; 0 means none.");
    out.Sample("vistrel_broadcast_delay_seconds", static_cast<uint64_t>(delay.DelaySeconds()));
    out.Family("vistrel_held_back_packets", "gauge",
               "Stored demo packets the broadcast delay still holds back from viewers, over every game.");
    out.Sample("vistrel_held_back_packets", held);
    AppendGameMetrics(out, form);
    out.Family("vistrel_memory_budget_bytes", "gauge", "The memory budget by part; 0 means no limit.");
    out.Sample("vistrel_memory_budget_bytes", {{"part", "stored"}}, static_cast<uint64_t>(budget.Stored));
    out.Sample("vistrel_memory_budget_bytes", {{"part", "connection_buffers"}},
               static_cast<uint64_t>(budget.ConnectionBuffers));
    out.Family("vistrel_memory_budget_used_bytes", "gauge", "What the relay holds of each part of the memory budget.");
    out.Sample("vistrel_memory_budget_used_bytes", {{"part", "stored"}}, usage.StoredMemory);
    out.Sample("vistrel_memory_budget_used_bytes", {{"part", "connection_buffers"}}, usage.Buffers());
    out.Family("vistrel_connection_buffer_bytes", "gauge",
               "Bytes in connection buffers: input received and not yet handled, output not yet sent.");
    for (size_t k = 0; k < kConnectionKindCount; ++k) {
        out.Sample("vistrel_connection_buffer_bytes", {{"port", kPortNames[k]}, {"direction", "input"}}, usage.Input[k]);
        out.Sample("vistrel_connection_buffer_bytes", {{"port", kPortNames[k]}, {"direction", "output"}},
                   usage.Output[k]);
    }

    out.Family("vistrel_packets_received_total", "counter", "Whole packets handled, by port and type.");
    for (size_t k = 0; k < kConnectionKindCount; ++k) {
        const auto& types = k == 0 ? kSenderTypes : kViewerTypes;
        for (int32_t type : types)
            out.Sample("vistrel_packets_received_total", {{"port", kPortNames[k]}, {"type", PacketLabel(type)}},
                       m.PacketsReceived[k][static_cast<size_t>(type)]);
    }
    out.Family("vistrel_demo_packet_checks_total", "counter", "Uploaded DEMOPACKETs by the outcome of their check.");
    for (size_t o = 0; o < kDemoCheckCount; ++o)
        out.Sample("vistrel_demo_packet_checks_total", {{"outcome", kDemoCheckNames[o]}}, m.DemoChecks[o]);
    out.Family("vistrel_packets_sent_total", "counter", "Packets handed to connections, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_packets_sent_total", {{"port", kPortNames[k]}}, m.PacketsSent[k]);
    out.Family("vistrel_sent_bytes_total", "counter", "Bytes of the packets handed to connections, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_sent_bytes_total", {{"port", kPortNames[k]}}, m.BytesSent[k]);
    out.Family("vistrel_received_bytes_total", "counter", "Bytes received from connections, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_received_bytes_total", {{"port", kPortNames[k]}}, m.BytesReceived[k]);
    out.Family("vistrel_connections_accepted_total", "counter", "Connections accepted, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_connections_accepted_total", {{"port", kPortNames[k]}}, m.ConnectionsAccepted[k]);
    out.Family("vistrel_connections_closed_total", "counter", "Connections closed, by port and reason.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        for (size_t r = 0; r < kCloseReasonCount; ++r)
            out.Sample("vistrel_connections_closed_total", {{"port", kPortNames[k]}, {"reason", kCloseReasonNames[r]}},
                       m.ConnectionsClosed[k][r]);
    out.Family("vistrel_handler_errors_total", "counter",
               "Errors in a connection's handlers that the socket layer caught and went on after, by port.");
    out.Sample("vistrel_handler_errors_total", {{"port", "sender"}}, form.DemoSenders().HandlerErrors());
    out.Sample("vistrel_handler_errors_total", {{"port", "viewer"}}, form.DemoViewers().HandlerErrors());
    out.Family("vistrel_loop_unhandled_errors_total", "counter",
               "Errors that escaped a timer, notice or readiness handler of the event loop.");
    out.Sample("vistrel_loop_unhandled_errors_total", form.Loop().UnhandledErrors());
    out.Family("vistrel_log_lines_total", "counter", "Lines written to the server log.");
    out.Sample("vistrel_log_lines_total", m.LogLines);

    Histogram(out, "vistrel_distribution_tick_duration_seconds",
              "How long each distribution tick's walk over the games and their viewers took.", m.TickDuration);
    Histogram(out, "vistrel_viewer_lag_packets",
              "Each distribution tick, each watching viewer's distance in packets behind its game's visible end.",
              m.ViewerLag);
    Histogram(out, "vistrel_join_latency_seconds",
              "From a viewer's WAITFORGAME to the first demo packet of that game handed to it, once per join.",
              m.JoinLatency);

    out.Family("vistrel_disk_written_bytes_total", "counter", "Bytes written to the recordings.");
    out.Sample("vistrel_disk_written_bytes_total", m.Disk.BytesWritten);
    out.Family("vistrel_disk_fsyncs_total", "counter", "Recordings forced to the disk (fsync), by outcome.");
    out.Sample("vistrel_disk_fsyncs_total", {{"outcome", "done"}}, m.Disk.Fsyncs);
    out.Sample("vistrel_disk_fsyncs_total", {{"outcome", "failed"}}, m.Disk.FsyncErrors);
    out.Family("vistrel_disk_write_errors_total", "counter",
               "Writes to the recordings that failed (nothing of them was kept; the packet was refused).");
    out.Sample("vistrel_disk_write_errors_total", m.Disk.WriteErrors);
    out.Family("vistrel_disk_recordings_bytes", "gauge", "Bytes the recordings hold in the data folder.");
    out.Sample("vistrel_disk_recordings_bytes", form.Recording().Recorder() ? form.Recording().Recorder()->TotalBytes() : uint64_t{0});
    out.Family("vistrel_disk_limit_bytes", "gauge", "The recordings' limit (--max-disk); 0 means no limit.");
    out.Sample("vistrel_disk_limit_bytes", static_cast<uint64_t>(form.Recording().Options().MaxDisk));

    out.Family("vistrel_http_connections", "gauge", "Open HTTP connections.");
    out.Sample("vistrel_http_connections", static_cast<uint64_t>(server.Connections()));
    out.Family("vistrel_http_requests_total", "counter",
               "HTTP answers sent, by the route table's pattern that answered (other: none) and status.");
    for (const auto& [key, count] : server.RequestCounts().Counts())
        out.Sample("vistrel_http_requests_total", {{"route", key.first}, {"status", std::to_string(key.second)}},
                   count);
    out.Family("vistrel_http_segment_requests_total", "counter",
               "Game segments served with their content, by whether they were final (immutable).");
    out.Sample("vistrel_http_segment_requests_total", {{"state", "final"}}, origin.SegmentsServed(true));
    out.Sample("vistrel_http_segment_requests_total", {{"state", "changing"}}, origin.SegmentsServed(false));
    out.Family("vistrel_http_segment_not_modified_total", "counter",
               "Game segment requests answered 304 (the asker's copy is current).");
    out.Sample("vistrel_http_segment_not_modified_total", origin.SegmentsNotModified());
    out.Family("vistrel_http_segment_bytes_total", "counter", "Bytes of the game segments served.");
    out.Sample("vistrel_http_segment_bytes_total", origin.SegmentBytes());
    out.Family("vistrel_http_refusals_total", "counter",
               "HTTP requests refused by the server's bounds (too many connections, too large).");
    out.Sample("vistrel_http_refusals_total", server.Refusals());
    if (more) more(out);
    AppendProcessMetrics(out, version, started);
    return out.Text();
}

}  // namespace vistrel
