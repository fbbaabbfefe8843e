#include "forward.h"

#include <cstring>

#include "ingress_filter.h"
#include "log.h"
#include "wire.h"

void forward_init(forward_state* f, const mux_config* cfg, server_link* link, tun_device* tun,
                  mux_stats* stats) {
  memset(f, 0, sizeof *f);
  f->cfg = cfg;
  f->link = link;
  f->tun = tun;
  f->stats = stats;
  f->password_len = static_cast<uint8_t>(cfg->password != nullptr ? strlen(cfg->password) : 0);
}

int forward_to_server(forward_state* f, const uint8_t* pkt, size_t len, stat_kind kind) {
  const size_t total = write_non_rtp(f->buf, sizeof f->buf, pkt, len, f->password_len);
  if (total == 0) {
    log_message("too large sip/other packet");
    return stats_drop(f->stats, DIR_EGRESS, DROP_TOO_LARGE);
  }
  stats_packet(f->stats, DIR_EGRESS, kind, len);
  return link_send(f->link, f->buf, total, SEND_NON_RTP) < 0 ? -1 : 0;
}

int forward_to_tun(forward_state* f, const uint8_t* dgram, size_t len) {
  const size_t p = f->password_len;
  // Too short to hold the pad and at least one byte of packet: nothing to write.
  if (len <= NON_RTP_HEAD + p) return stats_drop(f->stats, DIR_INGRESS, DROP_RUNT);
  const size_t n = read_non_rtp(f->buf, sizeof f->buf, dgram, len, p);
  if (n == 0) return stats_drop(f->stats, DIR_INGRESS, DROP_TOO_LARGE);
  const ingress_verdict verdict = ingress_filter_check(f->cfg, INGRESS_NON_RTP, f->buf, n);
  if (verdict != INGRESS_PASS) return stats_filtered(f->stats, verdict);
  stats_packet(f->stats, DIR_INGRESS, KIND_NON_RTP, n);
  return tun_write(f->tun, f->buf, n, "write_sip_packet_to_tun() severe error.. exiting the program.\n");
}
