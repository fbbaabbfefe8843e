#include "ingress.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "egress.h"
#include "forward.h"
#include "ingress_filter.h"
#include "log.h"
#include "netio.h"
#include "registration.h"
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

// The shortest control message worth matching: 0x00 0x81 and six keyword bytes.
constexpr size_t CONTROL_MIN_PAYLOAD = 6;

// Result of a TUN write under the TUN write rule: 0 done (also when lost to a
// tolerated error), -1 fatal (logged with `fatal_msg`).
int tun_write(mux_ctx* ctx, const uint8_t* pkt, size_t len, const char* fatal_msg) {
  ssize_t w = io_write(ctx->tun_fd, pkt, len);
  int err = errno;
  if (w < 0) stats_drop(&ctx->stats, DIR_INGRESS, DROP_WRITE_ERROR);
  if (w >= 0 || is_transient_tun_write_error(err)) return 0;
  log_message("%s", fatal_msg);
  return -1;
}

int handle_control(mux_ctx* ctx, size_t len) {
  if (len - 2 < CONTROL_MIN_PAYLOAD) stats_drop(&ctx->stats, DIR_INGRESS, DROP_RUNT);
  uint8_t* buf = ctx->rx_buf;
  const int kw = len - 2 < CONTROL_MIN_PAYLOAD ? -1 : match_control_keyword(buf + 2, len - 2);
  switch (kw) {
    case KW_CHANLLANGE: {
      // The handshake goes on beside the data path: the digest is sent at
      // once, and the loop sends it again until the server decides. The
      // challenge's length is carried in 8 bits; the keyword match
      // guarantees len >= 12.
      if (!registration_waiting(ctx)) ctx->stats.registrations[REGS_STARTED]++;
      ctx->reg_state = REG_CHALLENGED;
      // A challenge during the run often means the server restarted and lost
      // the calls' templates: each call's next packet goes in full form, so
      // that it follows the DIGEST and the server has it once it authorizes.
      egress_refresh_templates(ctx);
      auto challenge_len = static_cast<uint8_t>(len - 12);
      return registration_begin(ctx, buf + 12, challenge_len);
    }
    case KW_DECLINED:
      ctx->stats.registrations[REGS_DECLINED]++;
      if (!registration_waiting(ctx)) ctx->stats.registrations[REGS_STARTED]++;
      ctx->reg_state = REG_NONE;
      return registration_begin(ctx, nullptr, 0);
    case KW_AUTHORIZED:
      stats_authorized(&ctx->stats);
      ctx->reg_state = REG_AUTHORIZED;
      // The end of a handshake of the run: full forms sent before the server
      // decided may have been dropped, so each call sends one more.
      if (registration_waiting(ctx)) egress_refresh_templates(ctx);
      registration_end(ctx);
      return 0;
    default:
      // REQUEST, DIGEST or no keyword: nothing to do, except that a waiting
      // handshake answers a control message that changes nothing at once.
      return registration_waiting(ctx) ? registration_begin(ctx, nullptr, 0) : 0;
  }
}

void handle_recovery_request(mux_ctx* ctx, size_t len) {
  if (len < 3) {  // no call id to read
    stats_drop(&ctx->stats, DIR_INGRESS, DROP_RUNT);
    return;
  }
  ctx->stats.recovery_requests[DIR_INGRESS]++;
  uint8_t call_id = ctx->rx_buf[2];
  if (call_id == 0) {
    log_message("Could not Recover: bad cid %d", 0);
    return;
  }
  egress_force_full(ctx, call_id);
}

// A full-form sub-packet: refresh the call's template, write the packet.
// 0 go on with the walk; -1 end the run.
int handle_full(mux_ctx* ctx, const sub_packet* sp) {
  // A full form the ingress filter drops neither reaches TUN nor refreshes the template.
  const ingress_verdict verdict =
      ingress_filter_check(ctx->config, INGRESS_FULL, ctx->rx_buf + sp->offset, sp->len);
  if (verdict != INGRESS_PASS) return stats_filtered(&ctx->stats, verdict);
  int slot = sp->call_id - 1;
  rx_template* t = ctx->rx_templates[slot];
  if (t == nullptr) {
    t = static_cast<rx_template*>(calloc(1, sizeof(rx_template)));
    if (t == nullptr) {
      log_message("calloc");
      // this packet is lost; the walk and the tunnel go on
      return stats_drop(&ctx->stats, DIR_INGRESS, DROP_NO_MEMORY);
    }
    ctx->rx_templates[slot] = t;
  }
  uint8_t* pkt = ctx->rx_buf + sp->offset;
  put_be16(pkt + OFF_UDP_CHECKSUM, 0);
  put_be32(pkt + OFF_RTP_TIMESTAMP, 0);
  memcpy(t->hdr, pkt, sizeof t->hdr);
  stats_ingress_full(&ctx->stats, sp->call_id, sp->len);
  return tun_write(ctx, pkt, sp->len,
                   "egress tun write() in new entry severe error.. exiting the program.\n");
}

enum step_result { STEP_NEXT, STEP_STOP, STEP_FATAL };

// The egress clock as read once for the frame being walked.
struct frame_clock {
  bool read;
  uint64_t now;
};

// A compressed sub-packet: rebuild it from the template, or ask for the full
// header when there is none.
step_result handle_compressed(mux_ctx* ctx, const sub_packet* sp, frame_clock* clock) {
  int slot = sp->call_id - 1;
  rx_template* t = ctx->rx_templates[slot];
  if (t == nullptr) {
    stats_drop(&ctx->stats, DIR_INGRESS, DROP_NO_TEMPLATE);
    // A frame may hold many such sub-packets, and anyone can forge the
    // server's address: ask at most once per call id per RECOVERY_GAP, so
    // that one datagram never turns into many towards the server.
    if (!clock->read) {
      clock->now = io_monotonic_clock();
      clock->read = true;
    }
    if (clock->now < ctx->recovery_next[slot]) return STEP_NEXT;  // packet lost
    write_recovery_request(ctx->tx_buf, sp->call_id, sp->type);
    ctx->tx_len = RECOVERY_LEN;
    ssize_t sent =
        io_sendto(ctx->sock_fd, ctx->tx_buf, RECOVERY_LEN, ctx->server_addr, ctx->server_addrlen);
    if (sent < 0) {
      log_message("sending %d bytes for recovery egress index %d", static_cast<int>(RECOVERY_LEN),
                  slot);
      stats_drop(&ctx->stats, DIR_EGRESS, DROP_SEND_ERROR);
      return STEP_STOP;
    }
    ctx->recovery_next[slot] = clock->now + RECOVERY_GAP;
    ctx->stats.recovery_requests[DIR_EGRESS]++;
    return STEP_NEXT;
  }
  size_t out_len = rebuild_packet(t, ctx->rx_buf + sp->offset, sp->len, ctx->tx_buf, TX_BUF_SIZE);
  if (out_len == 0) {  // would not fit tx_buf
    stats_drop(&ctx->stats, DIR_INGRESS, DROP_TOO_LARGE);
    return STEP_STOP;
  }
  stats_ingress_rebuilt(&ctx->stats, sp->call_id, sp->type, out_len);
  if (tun_write(ctx, ctx->tx_buf, out_len,
                "egress tup write() severe error.. exiting the program.\n") != 0) {
    return STEP_FATAL;
  }
  return STEP_NEXT;
}

int handle_frame(mux_ctx* ctx, size_t len) {
  stats_frame(&ctx->stats, DIR_INGRESS, len);
  password_xor(ctx->rx_buf, len, ctx->config->password, ctx->password_len);
  byte_cursor c = make_cursor(ctx->rx_buf, len);
  frame_clock clock{false, 0};
  for (;;) {
    sub_packet sp{};
    walk_status st = frame_next(&c, &sp);
    if (st == WALK_END) return 0;
    if (st == WALK_BAD_TYPE) {
      log_message(
          "**********************NEED TO THINK MORE!!!"
          "**********************************************");
      return stats_walk_drop(&ctx->stats, st);
    }
    if (st != WALK_ITEM) return stats_walk_drop(&ctx->stats, st);  // malformed: rest dropped
    if (sp.type == SUB_FULL) {
      if (handle_full(ctx, &sp) != 0) return -1;
      continue;
    }
    step_result r = handle_compressed(ctx, &sp, &clock);
    if (r == STEP_FATAL) return -1;
    if (r == STEP_STOP) return 0;
  }
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

int handle_server_datagram(mux_ctx* ctx, size_t len, const sockaddr* src, socklen_t srclen) {
  log_message("Socket receive : %d bytes", static_cast<int>(len));
  if (!is_server_address(ctx, src, srclen)) {
    return stats_drop(&ctx->stats, DIR_INGRESS, DROP_FOREIGN_SOURCE);
  }
  if (len < 2) return stats_drop(&ctx->stats, DIR_INGRESS, DROP_RUNT);  // kind unknown
  const uint8_t* buf = ctx->rx_buf;
  switch (classify_datagram(buf[0], buf[1])) {
    case DGRAM_NON_RTP:
      return write_sip_packet_to_tun(ctx, buf, len);
    case DGRAM_CONTROL:
      return handle_control(ctx, len);
    case DGRAM_RECOVERY:
      handle_recovery_request(ctx, len);
      return 0;
    case DGRAM_FRAME:
      return handle_frame(ctx, len);
  }
  return 0;
}

void free_rx_templates(mux_ctx* ctx) {
  for (auto& t : ctx->rx_templates) {
    free(t);
    t = nullptr;
  }
}
