#include "session.h"

#include <cstdlib>
#include <cstring>

#include "classify.h"
#include "log.h"
#include "netio.h"
#include "wire.h"

int session_open(mux_ctx* s, const mux_config* cfg) {
  memset(s, 0, sizeof *s);
  s->config = cfg;
  s->link.fd = -1;
  s->tun.fd = -1;
  if (tun_open(&s->tun, cfg, &s->stats) != 0) return -1;
  if (link_open(&s->link, cfg, &s->stats) != 0) {
    tun_close(&s->tun);
    return -1;
  }
  if (session_prepare(s, cfg) != 0) {
    // The tunnel never came up: no registration, no scripts.
    log_message("can not allocate the loop buffers");
    session_close(s);
    return -1;
  }
  return 0;
}

int session_prepare(mux_ctx* s, const mux_config* cfg) {
  s->config = cfg;
  // A socket of the other family is opened only later, when the server is
  // looked for there (a session wired by hand must not take descriptor 0).
  s->link.alt_fd = -1;
  const uint8_t password_len =
      static_cast<uint8_t>(cfg->password != nullptr ? strlen(cfg->password) : 0);
  reg_init(&s->reg, cfg->password, password_len);
  ingress_init(&s->ingress, cfg, &s->link, &s->tun, &s->stats);
  forward_init(&s->forward, cfg, &s->link, &s->tun, &s->stats);
  keepalive_init(&s->idle, cfg->waiting_time, cfg->max_idle_cycle);
  watch_init(&s->watch, cfg->server_timeout, io_monotonic_us());
  resolver_init(&s->names);
  s->rx_block = static_cast<uint8_t*>(calloc(RX_BATCH, RX_SLOT_SIZE));
  return egress_init(&s->egress, cfg, &s->link, &s->stats) == 0 && s->rx_block != nullptr ? 0 : -1;
}

void session_close(mux_ctx* s) {
  resolver_cancel(&s->names);
  link_close(&s->link);
  egress_free(&s->egress);
  free_rx_templates(&s->ingress);
  free(s->rx_block);
  s->rx_block = nullptr;
  tun_close(&s->tun);
}

int session_apply(mux_ctx* s, unsigned ev, uint64_t now) {
  if ((ev & REG_EV_STARTED) != 0) s->stats.registrations[REGS_STARTED]++;
  if ((ev & REG_EV_DECLINED) != 0) s->stats.registrations[REGS_DECLINED]++;
  if ((ev & REG_EV_AUTHORIZED) != 0) stats_authorized(&s->stats, io_wall_time());
  if ((ev & REG_EV_REFRESH) != 0) egress_refresh_templates(&s->egress);
  while ((ev & REG_EV_SEND) != 0) {
    if (link_send(&s->link, s->reg.msg, s->reg.msg_len, SEND_CONTROL) >= 0) break;
    ev = reg_send_failed(&s->reg, now);
  }
  return (ev & REG_EV_FATAL) != 0 ? -1 : 0;
}

int session_tun_packet(mux_ctx* s, const uint8_t* pkt, size_t len, uint32_t now, uint64_t clock) {
  if (is_rtp_packet(pkt, len)) {
    const int rc = egress_packet(&s->egress, pkt, len, now, clock);
    if (rc != EGRESS_CARRY_WHOLE) return rc;
    return forward_to_server(&s->forward, pkt, len, KIND_RTP_WHOLE);
  }
  if (is_forwardable(s->config, pkt, len)) {
    return forward_to_server(&s->forward, pkt, len, KIND_NON_RTP);
  }
  return stats_drop(&s->stats, DIR_EGRESS, DROP_NOT_FORWARDABLE);
}

namespace {

int handle_control(mux_ctx* s, const uint8_t* dgram, size_t len, uint64_t now) {
  if (len - 2 < CONTROL_MIN_PAYLOAD) stats_drop(&s->stats, DIR_INGRESS, DROP_RUNT);
  return session_apply(s, reg_on_control(&s->reg, dgram, len, now), now);
}

void handle_recovery_request(mux_ctx* s, const uint8_t* dgram, size_t len) {
  if (len < 3) {  // no call id to read
    stats_drop(&s->stats, DIR_INGRESS, DROP_RUNT);
    return;
  }
  s->stats.recovery_requests[DIR_INGRESS]++;
  const uint8_t call_id = dgram[2];
  if (call_id == 0) {
    log_message("Could not Recover: bad cid %d", 0);
    return;
  }
  egress_force_full(&s->egress, call_id);
}

// While the server is looked for, a control message from one of the
// addresses asked makes that address the server's. True when it did.
bool found_elsewhere(mux_ctx* s, const uint8_t* dgram, size_t len, const sockaddr* src,
                     socklen_t srclen, uint64_t now) {
  if (watch_candidate_index(&s->watch, src, srclen) < 0) return false;
  if (len < 2 || classify_datagram(dgram[0], dgram[1]) != DGRAM_CONTROL) return false;
  if (link_set_server(&s->link, src, srclen) != 0) return false;
  char where[LINK_ADDRESS_TEXT];
  link_format_address(&s->link.addr, where, sizeof where);
  log_message("server found at %s", where);
  watch_found(&s->watch, now);
  return true;
}

void send_probe(mux_ctx* s) {
  uint8_t req[CONTROL_MAX_LEN];
  const size_t n = write_request(req);
  (void)link_send(&s->link, req, n, SEND_CONTROL);  // a failure is logged there
}

void start_resolving(mux_ctx* s, uint64_t now) {
  if (resolver_start(&s->names, s->config->server, s->config->port) != 0) {
    // Without a resolution the round asks the address known.
    watch_resolved(&s->watch, nullptr, 0, reinterpret_cast<const sockaddr*>(&s->link.addr),
                   s->link.addrlen, now);
  }
}

}  // namespace

void session_watch(mux_ctx* s, uint64_t now) {
  server_watch* w = &s->watch;
  if (w->timeout_us == 0) return;
  watch_sent(w, s->link.sends, now);
  const uint64_t due = watch_deadline(w);
  if (due == 0 || now < due) return;
  if (w->state == WATCH_SEARCHING && w->resolving) {
    // The resolver did not answer in time.
    resolver_cancel(&s->names);
    watch_resolved(w, nullptr, 0, reinterpret_cast<const sockaddr*>(&s->link.addr),
                   s->link.addrlen, now);
  }
  int asked = -1;
  char where[LINK_ADDRESS_TEXT];
  switch (watch_tick(w, now, &asked)) {
    case WATCH_PROBE:
      send_probe(s);
      break;
    case WATCH_LOST:
      link_format_address(&s->link.addr, where, sizeof where);
      log_message("server lost at %s: no answer to %d probes", where, WATCH_PROBES);
      start_resolving(s, now);
      break;
    case WATCH_RESOLVE:
      start_resolving(s, now);
      break;
    case WATCH_ASK: {
      uint8_t req[CONTROL_MAX_LEN];
      const size_t n = write_request(req);
      const watch_candidate& c = w->candidates[asked];
      (void)link_send_to(&s->link, reinterpret_cast<const sockaddr*>(&c.addr), c.len, req, n);
      break;
    }
    case WATCH_NOTHING:
      break;
  }
}

void session_resolved(mux_ctx* s, uint64_t now) {
  watch_candidate found[WATCH_CANDIDATES];
  int count = 0;
  if (resolver_read(&s->names, found, &count) == 0) return;
  watch_resolved(&s->watch, found, count, reinterpret_cast<const sockaddr*>(&s->link.addr),
                 s->link.addrlen, now);
}

int session_datagram(mux_ctx* s, uint8_t* dgram, size_t len, const sockaddr* src,
                     socklen_t srclen, uint64_t now, uint64_t clock) {
  log_message("Socket receive : %d bytes", static_cast<int>(len));
  if (!link_is_server(&s->link, src, srclen) && !found_elsewhere(s, dgram, len, src, srclen, now)) {
    return stats_drop(&s->stats, DIR_INGRESS, DROP_FOREIGN_SOURCE);
  }
  watch_heard(&s->watch, now);
  if (len < 2) return stats_drop(&s->stats, DIR_INGRESS, DROP_RUNT);  // kind unknown
  switch (classify_datagram(dgram[0], dgram[1])) {
    case DGRAM_NON_RTP:
      return forward_to_tun(&s->forward, dgram, len);
    case DGRAM_CONTROL:
      return handle_control(s, dgram, len, now);
    case DGRAM_RECOVERY:
      handle_recovery_request(s, dgram, len);
      return 0;
    case DGRAM_FRAME:
      return ingress_frame(&s->ingress, dgram, len, clock);
  }
  return 0;
}

int session_registering_datagram(mux_ctx* s, const uint8_t* dgram, size_t len,
                                 const sockaddr* src, socklen_t srclen, uint64_t now) {
  if (!link_is_server(&s->link, src, srclen)) return 0;
  watch_heard(&s->watch, now);
  if (len < 2) return 0;
  if (classify_datagram(dgram[0], dgram[1]) != DGRAM_CONTROL) return 0;
  return handle_control(s, dgram, len, now);
}

void session_send_idle_request(mux_ctx* s) {
  uint8_t req[CONTROL_MAX_LEN];
  const size_t n = write_request(req);
  s->stats.idle_requests++;
  (void)link_send(&s->link, req, n, SEND_CONTROL);  // a failure is logged there
}
