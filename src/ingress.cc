#include "ingress.h"

#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "ingress_filter.h"
#include "log.h"
#include "wire.h"

namespace {

// Offsets in the 40-byte IPv4/UDP/RTP header.
constexpr size_t OFF_IP_TOTAL_LEN = 2;
constexpr size_t OFF_IP_CHECKSUM = 10;
constexpr size_t OFF_UDP_LEN = 24;
constexpr size_t OFF_UDP_CHECKSUM = 26;
constexpr size_t OFF_RTP_MARKER = 29;  // marker bit and payload type
constexpr size_t OFF_RTP_SEQ = 30;
constexpr size_t OFF_RTP_TIMESTAMP = 32;

constexpr uint32_t TIMESTAMP_STEP = 160;
constexpr uint8_t RTP_MARKER_BIT = 0x80;

// A full-form sub-packet: refresh the call's template, write the packet.
// 0 go on with the walk; -1 end the run.
int handle_full(ingress_state* in, uint8_t* dgram, const sub_packet* sp) {
  uint8_t* pkt = dgram + sp->offset;
  // A full form the ingress filter drops neither reaches TUN nor refreshes the template.
  const ingress_verdict verdict = ingress_filter_check(in->cfg, INGRESS_FULL, pkt, sp->len);
  if (verdict != INGRESS_PASS) return stats_filtered(in->stats, verdict);
  const int slot = sp->call_id - 1;
  rx_template* t = in->templates[slot];
  if (t == nullptr) {
    t = static_cast<rx_template*>(calloc(1, sizeof(rx_template)));
    if (t == nullptr) {
      log_message("calloc");
      // this packet is lost; the walk and the tunnel go on
      return stats_drop(in->stats, DIR_INGRESS, DROP_NO_MEMORY);
    }
    in->templates[slot] = t;
  }
  put_be16(pkt + OFF_UDP_CHECKSUM, 0);
  put_be32(pkt + OFF_RTP_TIMESTAMP, 0);
  memcpy(t->hdr, pkt, sizeof t->hdr);
  stats_ingress_full(in->stats, sp->call_id, sp->len);
  return tun_write(in->tun, pkt, sp->len,
                   "egress tun write() in new entry severe error.. exiting the program.\n");
}

enum step_result { STEP_NEXT, STEP_STOP, STEP_FATAL };

// Whether a recovery request for the call in `slot` may go at `now` (the
// egress clock): at most one per call id per RECOVERY_GAP, and
// RECOVERY_BUDGET across all call ids in a window of that length. Only
// requests that went count.
bool recovery_allowed(ingress_state* in, int slot, uint64_t now) {
  if (now < in->recovery_next[slot]) return false;
  if (now - in->budget_start >= RECOVERY_GAP || now < in->budget_start) {
    in->budget_start = now;
    in->budget_used = 0;
  }
  return in->budget_used < RECOVERY_BUDGET;
}

// A compressed sub-packet of a call without template: the packet is lost;
// the server is asked for the call's full header. 0 go on; -1 end the run.
int ask_recovery(ingress_state* in, const sub_packet* sp, uint64_t clock) {
  stats_drop(in->stats, DIR_INGRESS, DROP_NO_TEMPLATE);
  const int slot = sp->call_id - 1;
  if (!recovery_allowed(in, slot, clock)) return 0;
  uint8_t req[RECOVERY_LEN];
  write_recovery_request(req, sp->call_id, sp->type);
  const int rc = link_send(in->link, req, RECOVERY_LEN, SEND_RECOVERY);
  if (rc != 0) {
    // Lost (counted as a send error) or fatal; the frame's other packets
    // still go either way.
    log_message("sending %d bytes for recovery egress index %d", static_cast<int>(RECOVERY_LEN),
                slot);
    return rc < 0 ? -1 : 0;
  }
  in->budget_used++;
  in->recovery_next[slot] = clock + RECOVERY_GAP;
  in->stats->recovery_requests[DIR_EGRESS]++;
  return 0;
}

// A compressed sub-packet: rebuilt from the template, or asked for when
// there is none.
step_result handle_compressed(ingress_state* in, const uint8_t* dgram, const sub_packet* sp,
                              uint64_t clock) {
  rx_template* t = in->templates[sp->call_id - 1];
  if (t == nullptr) return ask_recovery(in, sp, clock) == 0 ? STEP_NEXT : STEP_FATAL;
  size_t out_len = rebuild_packet(t, dgram + sp->offset, sp->len, in->out, sizeof in->out);
  if (out_len == 0) {  // would not fit the buffer
    stats_drop(in->stats, DIR_INGRESS, DROP_TOO_LARGE);
    return STEP_STOP;
  }
  stats_ingress_rebuilt(in->stats, sp->call_id, sp->type, out_len);
  if (tun_write(in->tun, in->out, out_len,
                "egress tup write() severe error.. exiting the program.\n") != 0) {
    return STEP_FATAL;
  }
  return STEP_NEXT;
}

}  // namespace

uint16_t ipv4_header_checksum(const uint8_t* hdr) {
  uint32_t sum = 0;
  for (size_t i = 0; i < IPV4_HEADER_LEN; i += 2) sum += get_be16(hdr + i);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

size_t rebuild_packet(rx_template* t, const uint8_t* payload, size_t n, uint8_t* out,
                      size_t out_cap) {
  if (n > out_cap || out_cap - n < MEDIA_HEADER_LEN) return 0;
  uint8_t* h = t->hdr;
  put_be16(h + OFF_IP_TOTAL_LEN, static_cast<uint16_t>(n + MEDIA_HEADER_LEN));
  put_be16(h + OFF_UDP_LEN, static_cast<uint16_t>(n + MEDIA_HEADER_LEN - IPV4_HEADER_LEN));
  put_be16(h + OFF_RTP_SEQ, static_cast<uint16_t>(get_be16(h + OFF_RTP_SEQ) + 1));
  put_be32(h + OFF_RTP_TIMESTAMP, get_be32(h + OFF_RTP_TIMESTAMP) + TIMESTAMP_STEP);
  // The marker is a per-packet signal (mostly a talkspurt's first packet):
  // the template's copy of it belongs to the full-form packet alone.
  h[OFF_RTP_MARKER] = static_cast<uint8_t>(h[OFF_RTP_MARKER] & ~RTP_MARKER_BIT);
  put_be16(h + OFF_IP_CHECKSUM, 0);
  put_be16(h + OFF_IP_CHECKSUM, ipv4_header_checksum(h));
  memcpy(out, h, MEDIA_HEADER_LEN);
  memcpy(out + MEDIA_HEADER_LEN, payload, n);
  return n + MEDIA_HEADER_LEN;
}

void ingress_init(ingress_state* in, const mux_config* cfg, server_link* link, tun_device* tun,
                  mux_stats* stats) {
  memset(in, 0, sizeof *in);
  in->cfg = cfg;
  in->link = link;
  in->tun = tun;
  in->stats = stats;
  in->password_len = static_cast<uint8_t>(cfg->password != nullptr ? strlen(cfg->password) : 0);
}

int ingress_frame(ingress_state* in, uint8_t* dgram, size_t len, uint64_t clock) {
  stats_frame(in->stats, DIR_INGRESS, len);
  password_xor(dgram, len, in->cfg->password, in->password_len);
  byte_cursor c = make_cursor(dgram, len);
  for (;;) {
    sub_packet sp{};
    walk_status st = frame_next(&c, &sp);
    if (st == WALK_END) return 0;
    if (st == WALK_BAD_TYPE) {
      log_message(
          "**********************NEED TO THINK MORE!!!"
          "**********************************************");
      return stats_walk_drop(in->stats, st);
    }
    if (st != WALK_ITEM) return stats_walk_drop(in->stats, st);  // malformed: rest dropped
    if (sp.type == SUB_FULL) {
      if (handle_full(in, dgram, &sp) != 0) return -1;
      continue;
    }
    step_result r = handle_compressed(in, dgram, &sp, clock);
    if (r == STEP_FATAL) return -1;
    if (r == STEP_STOP) return 0;
  }
}

void free_rx_templates(ingress_state* in) {
  for (auto& t : in->templates) {
    free(t);
    t = nullptr;
  }
}
