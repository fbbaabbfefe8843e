#include "report.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>

#include "bytes.h"
#include "netio.h"

static_assert(STAT_SLOTS == MAX_CALL_SLOTS, "one figure per call id");
static_assert(STAT_SLOTS == MAX_TEMPLATES, "one figure per call id");

namespace {

// By the registration state (3 is no state).
const char* const reg_state_words[] = {"not registered", "not registered (challenged)",
                                       "not registered (DIGEST sent)", "", "registered"};

constexpr uint32_t CLOCK_UNITS_PER_SECOND = 1u << 20;

uint64_t wire_bytes(const mux_ctx* ctx, stat_direction d) {
  return stats_wire_bytes(&ctx->stats, d, ctx->link.addr.ss_family == AF_INET6);
}

// "a.b.c.d:port" of four address bytes and two port bytes, network order.
void format_endpoint(char* out, size_t cap, const uint8_t* addr, const uint8_t* port) {
  snprintf(out, cap, "%u.%u.%u.%u:%u", addr[0], addr[1], addr[2], addr[3],
           static_cast<unsigned>(get_be16(port)));
}

// The server's numeric address and port.
void format_server(char* out, size_t cap, const mux_ctx* ctx) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  const sockaddr_storage& ss = ctx->link.addr;
  if (ss.ss_family == AF_INET) {
    sockaddr_in a;
    memcpy(&a, &ss, sizeof a);
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    port = ntohs(a.sin_port);
  } else if (ss.ss_family == AF_INET6) {
    sockaddr_in6 a;
    memcpy(&a, &ss, sizeof a);
    inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
    port = ntohs(a.sin6_port);
  }
  snprintf(out, cap, "%s port %u", host, static_cast<unsigned>(port));
}

void metric_head(FILE* f, const char* name, const char* type, const char* help) {
  fprintf(f, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// Unix time of the last datagram from the server (0 never), from the
// monotonic clock's distance to it.
int64_t heard_wall(const mux_ctx* ctx, int64_t wall) {
  const uint64_t heard = ctx->watch.last_heard;
  if (!ctx->watch.heard) return 0;
  const uint64_t now = io_monotonic_us();
  const uint64_t ago = now > heard ? (now - heard) / 1000000u : 0;
  return wall - static_cast<int64_t>(ago);
}

void write_server_metrics(FILE* f, const mux_ctx* ctx, int64_t wall) {
  metric_head(f, "corvex_server_last_heard_seconds", "gauge",
              "Unix time of the last datagram from the server, 0 before the first.");
  fprintf(f, "corvex_server_last_heard_seconds %" PRId64 "\n", heard_wall(ctx, wall));
  metric_head(f, "corvex_server_lost_total", "counter",
              "Times the server stopped answering and was looked for again.");
  fprintf(f, "corvex_server_lost_total %" PRIu64 "\n", ctx->watch.lost_total);
  char where[LINK_ADDRESS_TEXT];
  link_format_address(&ctx->link.addr, where, sizeof where);
  metric_head(f, "corvex_server_info", "gauge", "The server's current address and state.");
  fprintf(f, "corvex_server_info{address=\"%s\",state=\"%s\"} 1\n", where,
          watch_state_name(&ctx->watch, ctx->reg.state == REG_AUTHORIZED));
}

void per_direction(FILE* f, const char* name, const uint64_t* v) {
  for (int d = 0; d < DIR_COUNT; d++) {
    fprintf(f, "%s{direction=\"%s\"} %" PRIu64 "\n", name, stats_direction_names[d], v[d]);
  }
}

void per_direction_kind(FILE* f, const char* name, const uint64_t (*v)[KIND_COUNT]) {
  for (int d = 0; d < DIR_COUNT; d++) {
    for (int k = 0; k < KIND_COUNT; k++) {
      fprintf(f, "%s{direction=\"%s\",kind=\"%s\"} %" PRIu64 "\n", name, stats_direction_names[d],
              stats_kind_names[k], v[d][k]);
    }
  }
}

uint64_t sum_kinds(const uint64_t* v) {
  uint64_t t = 0;
  for (int k = 0; k < KIND_COUNT; k++) t += v[k];
  return t;
}

void report_direction(FILE* f, const mux_ctx* ctx, stat_direction d) {
  const mux_stats& s = ctx->stats;
  fprintf(f,
          "%s: %" PRIu64 " packets, %" PRIu64 " bytes (RTP %" PRIu64 " full, %" PRIu64
          " short, %" PRIu64 " long, %" PRIu64 " whole; %" PRIu64 " non-RTP)\n",
          stats_direction_names[d], sum_kinds(s.packets[d]), sum_kinds(s.bytes[d]),
          s.packets[d][KIND_RTP_FULL], s.packets[d][KIND_RTP_SHORT], s.packets[d][KIND_RTP_LONG],
          s.packets[d][KIND_RTP_WHOLE], s.packets[d][KIND_NON_RTP]);
  fprintf(f, "  %" PRIu64 " frames", s.frames[d]);
  if (d == DIR_EGRESS) {
    fprintf(f, " (%" PRIu64 " full, %" PRIu64 " no room, %" PRIu64 " age)", s.flushes[FLUSH_FULL],
            s.flushes[FLUSH_NO_ROOM], s.flushes[FLUSH_AGE]);
  }
  const uint64_t wire = wire_bytes(ctx, d);
  const uint64_t plain = stats_plain_bytes(&s, d);
  fprintf(f, ", %" PRIu64 " bytes on the wire for %" PRIu64 " plain", wire, plain);
  // Tenths of a percent saved, 1000 * (plain - wire) / plain, in 32 bits:
  // both scaled down alike first, so that no 64-bit division is linked in
  // (a library routine on 32-bit targets).
  uint64_t p = plain;
  uint64_t w = wire;
  while (p > 0x3FFFFF || w > 0x3FFFFF) {
    p >>= 1;
    w >>= 1;
  }
  if (p != 0) {
    const bool worse = w > p;
    const uint32_t tenths = static_cast<uint32_t>(worse ? w - p : p - w) * 1000u /
                            static_cast<uint32_t>(p);
    fprintf(f, ", %s%u.%u%% saved", worse ? "-" : "", tenths / 10, tenths % 10);
  }
  fputc('\n', f);
}

}  // namespace

namespace {

// The live calls, each on a line: liveness on the egress table's clock
// (`clock`), ages on the loop clock (`now`).
void write_calls(FILE* f, const mux_ctx* ctx, uint32_t now, uint64_t clock) {
  const mux_stats& s = ctx->stats;
  const mux_config* cfg = ctx->config;
  const int live = report_live_calls(ctx, clock);
  fprintf(f, "%d live call%s\n", live, live == 1 ? "" : "s");
  const uint32_t timeout = cfg != nullptr ? cfg->rtp_timeout : 0;
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    const call_entry* e = ctx->egress.calls[i];
    if (call_slot_state(e, clock, timeout) != SLOT_LIVE) continue;
    char src[32];
    char dst[32];
    format_endpoint(src, sizeof src, e->src_addr, e->src_port);
    format_endpoint(dst, sizeof dst, e->dst_addr, e->dst_port);
    const uint32_t age = now - s.slot_last[i + 1];
    fprintf(f,
            "  call %d: %s > %s, payload type %u, %" PRIu64 " packets, %" PRIu64
            " bytes, last %u.%u s ago\n",
            i + 1, src, dst, static_cast<unsigned>(e->payload_type), s.slot_packets[i + 1],
            s.slot_bytes[i + 1], age / CLOCK_UNITS_PER_SECOND,
            (age % CLOCK_UNITS_PER_SECOND) * 10 / CLOCK_UNITS_PER_SECOND);
  }
}

// The ingress templates, each on a line.
void write_templates(FILE* f, const mux_ctx* ctx) {
  const mux_stats& s = ctx->stats;
  int templates = 0;
  for (const rx_template* t : ctx->ingress.templates) templates += t != nullptr ? 1 : 0;
  fprintf(f, "%d ingress template%s\n", templates, templates == 1 ? "" : "s");
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    const rx_template* t = ctx->ingress.templates[i];
    if (t == nullptr) continue;
    char src[32];
    char dst[32];
    format_endpoint(src, sizeof src, t->hdr + 12, t->hdr + 20);
    format_endpoint(dst, sizeof dst, t->hdr + 16, t->hdr + 22);
    fprintf(f, "  call %d: %s > %s, payload type %u, %" PRIu64 " packets\n", i + 1, src, dst,
            static_cast<unsigned>(t->hdr[29] & 0x7F), s.template_packets[i + 1]);
  }
}

}  // namespace

int report_live_calls(const mux_ctx* ctx, uint64_t clock) {
  const uint32_t timeout = ctx->config != nullptr ? ctx->config->rtp_timeout : 0;
  int live = 0;
  for (const call_entry* e : ctx->egress.calls) {
    if (call_slot_state(e, clock, timeout) == SLOT_LIVE) live++;
  }
  return live;
}

int report_prometheus(FILE* f, const mux_ctx* ctx, int64_t wall, uint32_t now, uint64_t clock) {
  const mux_stats& s = ctx->stats;
  (void)wall;
  (void)now;
  metric_head(f, "corvex_registered", "gauge", "1 while the server has the client authorized.");
  fprintf(f, "corvex_registered %d\n", ctx->reg.state == REG_AUTHORIZED ? 1 : 0);
  metric_head(f, "corvex_calls_live", "gauge", "Live egress call slots (own streams).");
  fprintf(f, "corvex_calls_live %d\n", report_live_calls(ctx, clock));
  int templates = 0;
  for (const rx_template* t : ctx->ingress.templates) templates += t != nullptr ? 1 : 0;
  metric_head(f, "corvex_templates", "gauge", "Ingress calls with a header template.");
  fprintf(f, "corvex_templates %d\n", templates);

  metric_head(f, "corvex_packets_total", "counter",
              "Packets by direction and the form they travelled in.");
  per_direction_kind(f, "corvex_packets_total", s.packets);
  metric_head(f, "corvex_packet_bytes_total", "counter",
              "IPv4 lengths of those packets as read from or written to the TUN device.");
  per_direction_kind(f, "corvex_packet_bytes_total", s.bytes);
  metric_head(f, "corvex_frames_total", "counter", "Multiplexed frames sent and received.");
  per_direction(f, "corvex_frames_total", s.frames);
  metric_head(f, "corvex_frame_flushes_total", "counter",
              "Frames sent, by what made them leave.");
  for (int t = 0; t < FLUSH_COUNT; t++) {
    fprintf(f, "corvex_frame_flushes_total{trigger=\"%s\"} %" PRIu64 "\n", stats_flush_names[t],
            s.flushes[t]);
  }
  uint64_t wire[DIR_COUNT];
  uint64_t plain[DIR_COUNT];
  for (int d = 0; d < DIR_COUNT; d++) {
    wire[d] = wire_bytes(ctx, static_cast<stat_direction>(d));
    plain[d] = stats_plain_bytes(&s, static_cast<stat_direction>(d));
  }
  metric_head(f, "corvex_wire_bytes_total", "counter",
              "IP lengths of the datagrams that carried the frames.");
  per_direction(f, "corvex_wire_bytes_total", wire);
  metric_head(f, "corvex_unmultiplexed_bytes_total", "counter",
              "IPv4 lengths of the same RTP packets sent plainly.");
  per_direction(f, "corvex_unmultiplexed_bytes_total", plain);

  metric_head(f, "corvex_drops_total", "counter", "Packets and datagrams lost, by reason.");
  for (int d = 0; d < DIR_COUNT; d++) {
    for (int r = 0; r < DROP_COUNT; r++) {
      if (!stats_drop_applies(static_cast<stat_direction>(d), static_cast<stat_drop>(r))) continue;
      fprintf(f, "corvex_drops_total{direction=\"%s\",reason=\"%s\"} %" PRIu64 "\n",
              stats_direction_names[d], stats_drop_names[r], s.drops[d][r]);
    }
  }
  metric_head(f, "corvex_ingress_filter_drops_total", "counter",
              "Packets the ingress filter refused, by its reason.");
  for (int v = INGRESS_PASS + 1; v < INGRESS_VERDICT_COUNT; v++) {
    fprintf(f, "corvex_ingress_filter_drops_total{reason=\"%s\"} %" PRIu64 "\n",
            ingress_verdict_name(static_cast<ingress_verdict>(v)), s.filtered[v]);
  }
  metric_head(f, "corvex_recovery_requests_total", "counter",
              "Recovery requests sent to the server (egress) and received from it (ingress).");
  per_direction(f, "corvex_recovery_requests_total", s.recovery_requests);
  metric_head(f, "corvex_registrations_total", "counter",
              "Registration exchanges started, and AUTHORIZED and DECLINED received.");
  for (int r = 0; r < REGS_COUNT; r++) {
    fprintf(f, "corvex_registrations_total{result=\"%s\"} %" PRIu64 "\n",
            stats_registration_names[r], s.registrations[r]);
  }
  metric_head(f, "corvex_idle_requests_total", "counter", "REQUESTs sent on an idle line.");
  fprintf(f, "corvex_idle_requests_total %" PRIu64 "\n", s.idle_requests);
  metric_head(f, "corvex_last_authorized_seconds", "gauge",
              "Unix time of the last AUTHORIZED, 0 before the first.");
  fprintf(f, "corvex_last_authorized_seconds %" PRId64 "\n", s.last_authorized);
  metric_head(f, "corvex_start_time_seconds", "gauge", "Unix time the tunnel loop started.");
  fprintf(f, "corvex_start_time_seconds %" PRId64 "\n", s.started);
  write_server_metrics(f, ctx, wall);
  return ferror(f) ? -1 : 0;
}

int report_text(FILE* f, const mux_ctx* ctx, int64_t wall, uint32_t now, uint64_t clock) {
  const mux_stats& s = ctx->stats;
  const mux_config* cfg = ctx->config;
  const int64_t up = s.started != 0 ? wall - s.started : 0;
  fprintf(f, "corvex pid %ld, running for %" PRId64 " s\n", static_cast<long>(getpid()), up);
  char server[INET6_ADDRSTRLEN + 16];
  format_server(server, sizeof server, ctx);
  fprintf(f, "server %s, address %s\n",
          cfg != nullptr && cfg->server != nullptr ? cfg->server : "?", server);
  const int64_t heard = heard_wall(ctx, wall);
  fprintf(f, "server %s, ", watch_state_name(&ctx->watch, ctx->reg.state == REG_AUTHORIZED));
  if (heard != 0) {
    fprintf(f, "last heard %" PRId64 " s ago", wall - heard);
  } else {
    fprintf(f, "never heard");
  }
  fprintf(f, ", lost %" PRIu64 " times\n", ctx->watch.lost_total);

  const int32_t st = ctx->reg.state;
  fprintf(f, "%s", st >= 0 && st <= REG_AUTHORIZED && st != 3 ? reg_state_words[st] : "unknown");
  if (s.last_authorized != 0) {
    fprintf(f, ", authorized %" PRId64 " s ago", wall - s.last_authorized);
  } else {
    fprintf(f, ", never authorized");
  }
  fprintf(f, " (registrations: %" PRIu64 " started, %" PRIu64 " authorized, %" PRIu64
             " declined)\n",
          s.registrations[REGS_STARTED], s.registrations[REGS_AUTHORIZED],
          s.registrations[REGS_DECLINED]);

  write_calls(f, ctx, now, clock);
  write_templates(f, ctx);

  report_direction(f, ctx, DIR_EGRESS);
  report_direction(f, ctx, DIR_INGRESS);
  fprintf(f, "recovery requests: %" PRIu64 " sent, %" PRIu64 " received; idle REQUESTs: %" PRIu64
             "\n",
          s.recovery_requests[DIR_EGRESS], s.recovery_requests[DIR_INGRESS], s.idle_requests);
  bool any = false;
  for (int d = 0; d < DIR_COUNT; d++) {
    for (int r = 0; r < DROP_COUNT; r++) {
      if (s.drops[d][r] == 0) continue;
      if (!any) fprintf(f, "drops:\n");
      any = true;
      fprintf(f, "  %s %s: %" PRIu64 "\n", stats_direction_names[d], stats_drop_words[r], s.drops[d][r]);
    }
  }
  if (!any) fprintf(f, "no drops\n");
  return ferror(f) ? -1 : 0;
}
