// Fuzz target: every datagram the socket can deliver, through
// session_datagram (the running phase) and session_registering_datagram (the
// registration at start), with the registration exchange a datagram may
// start (whose messages session_apply sends at once; the resend timer
// belongs to the loop and is not run here).
//
// Input: 5 setting bytes, then records (fuzz_support.h). Setting bytes:
//   s0 bits 0-1 password (0 none, 1 empty, 2-3 length s1 [+256 with bit 2]),
//      bit 3 verbose, bit 4 IPv6 server, bit 5 open four egress calls first,
//      bits 6-7 reg_state at start (NONE, CHALLENGED, DIGEST_SENT, AUTHORIZED)
//   s1 password length, s2 mtu choice, s3 password seed,
//   s4 bit 0 ingress_filter, bit 1 allow_ping, bit 2 allow_all, bit 3
//      sip_port 40000, bit 4 begin with the registration at start (its
//      REQUEST sent; the start state of s0 is then not used): datagrams go
//      to session_registering_datagram until the server authorizes, then
//      to session_datagram
// Each record is one datagram (ctl bits 0-1 choose the source address; the
// top 3 bits of its length field move the clock forward by that many 2^15
// units, about 31 ms each, before it).
//
// Besides the sanitizers, a reference model of the datagram handling and of
// the handshake, written from the wire rules, predicts every TUN write and
// every send byte for byte, the result, the registration state and whether
// a handshake waits for the server's decision; it stops
// comparing for the rest of an input at the first case whose handling the
// rules leave open (truncated sub-packets, call id 0, a non-RTP message
// without a packet byte, ...), where only the sanitizers and the invariants
// keep watching.
#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "classify.h"
#include "config.h"
#include "fuzz_support.h"
#include "log.h"
#include "netio.h"
#include "session.h"
#include "wire.h"

namespace {

enum op_kind { OP_SEND, OP_WRITE };

struct expected_op {
  op_kind kind;
  size_t offset;  // into arena
  size_t len;
};

constexpr size_t ARENA_SIZE = 1u << 21;
constexpr size_t MAX_OPS = 1u << 15;

enum phase_kind { PHASE_SETUP, PHASE_INGRESS };

struct seam_state {
  mux_ctx* ctx;
  fz_reader* reader;
  phase_kind phase;
  uint8_t cur_ctl;
  uint8_t cur_aux;
  // What the model predicts for the current datagram.
  bool compare;
  expected_op ops[MAX_OPS];
  size_t n_ops;
  size_t next_op;
  uint8_t arena[ARENA_SIZE];
  size_t arena_used;
  uint64_t clock;  // the egress clock handed to session_datagram
  uint64_t now_us;  // the monotonic microseconds handed over with it
};

// The Unix time the seam reports (the time of an AUTHORIZED).
constexpr int64_t FZ_WALL_TIME = 1700000000;

seam_state* S;

void compare_op(op_kind kind, const void* buf, size_t len) {
  if (!S->compare) return;
  if (S->next_op >= S->n_ops) {
    fprintf(stderr, "unexpected %s of %zu bytes (op %zu, %zu expected)\n",
            kind == OP_SEND ? "send" : "TUN write", len, S->next_op, S->n_ops);
    FZ_CHECK(!"more sends or TUN writes than the model predicts");
  }
  const expected_op& e = S->ops[S->next_op++];
  if (e.kind != kind || e.len != len || memcmp(S->arena + e.offset, buf, len) != 0) {
    fprintf(stderr, "op %zu: got %s of %zu bytes, expected %s of %zu bytes\n", S->next_op - 1,
            kind == OP_SEND ? "send" : "TUN write", len, e.kind == OP_SEND ? "send" : "TUN write",
            e.len);
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t show = len < 64 ? len : 64;
    fprintf(stderr, "  got     :");
    for (size_t i = 0; i < show; i++) fprintf(stderr, " %02x", p[i]);
    fprintf(stderr, "\n  expected:");
    show = e.len < 64 ? e.len : 64;
    for (size_t i = 0; i < show; i++) fprintf(stderr, " %02x", S->arena[e.offset + i]);
    fprintf(stderr, "\n");
    FZ_CHECK(!"send or TUN write differs from the model");
  }
}

}  // namespace

// ------------------------------------------------------------------ seam --

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  FZ_CHECK(fd == FZ_SOCK_FD);
  FZ_CHECK(buf != nullptr);
  FZ_CHECK(len <= FORWARD_BUF_SIZE);
  FZ_CHECK(fz_is_server_address(S->ctx, to, tolen));
  fz_touch(buf, len);
  if (S->phase == PHASE_INGRESS) compare_op(OP_SEND, buf, len);
  return fz_send_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_write(int fd, const void* buf, size_t len) {
  FZ_CHECK(fd == FZ_TUN_FD);
  FZ_CHECK(buf != nullptr);
  FZ_CHECK(len <= REBUILD_BUF_SIZE && len <= FORWARD_BUF_SIZE && len <= RX_SLOT_SIZE);
  fz_touch(buf, len);
  if (S->phase == PHASE_INGRESS) compare_op(OP_WRITE, buf, len);
  return fz_write_return(S->cur_ctl, S->cur_aux, len);
}

uint64_t io_monotonic_clock() { return S->clock; }
uint64_t io_monotonic_us() { return S->now_us; }
uint32_t io_loop_clock() { return static_cast<uint32_t>(S->now_us); }
int64_t io_wall_time() { return FZ_WALL_TIME; }

int io_select(int, fd_set*, timeval*) {
  // A handshake started by a datagram never waits for the server here.
  FZ_CHECK(!"io_select called while handling a datagram");
  return -1;
}

int io_sendmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"frames are not batched outside the loop's running phase");
  return -1;
}

int io_recvmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"only the event loop receives in batches");
  return -1;
}

ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  FZ_CHECK(!"io_recvfrom called while handling a datagram");
  return -1;
}

ssize_t io_read(int, void*, size_t) {
  FZ_CHECK(!"io_read called while handling a datagram");
  return -1;
}

// ----------------------------------------------------------------- model --

namespace {

struct model {
  bool valid;
  const mux_config* cfg;
  bool has_template[MAX_TEMPLATES];
  // Clock value from which a recovery request for the call id may go again.
  uint64_t recovery_next[MAX_TEMPLATES];
  // The budget of recovery requests across all call ids: the start of its
  // window and what was spent in it.
  uint64_t budget_start;
  unsigned budget_used;
  uint64_t clock;
  uint8_t tmpl[MAX_TEMPLATES][40];
  int32_t reg_state;
  bool waiting;  // a handshake waits for the server's decision
  bool registering;  // the registration at start: only control messages count
  uint64_t started;     // handshakes started (registrations[REGS_STARTED])
  uint64_t declined;    // registrations[REGS_DECLINED]
  uint64_t recoveries;  // recovery requests sent (recovery_requests[DIR_EGRESS])
  bool authorized;      // an AUTHORIZED came: last_authorized is the seam's time
  uint8_t digest[16];
  fz_reader reader;
  uint8_t cur_ctl;
  uint8_t cur_aux;
  const char* password;
  uint8_t password_len;
  uint8_t frame[RX_SLOT_SIZE];
  uint8_t out[REBUILD_BUF_SIZE];
};

model* M;

void expect(op_kind kind, const uint8_t* bytes, size_t len) {
  FZ_CHECK(S->n_ops < MAX_OPS && ARENA_SIZE - S->arena_used >= len);
  expected_op& e = S->ops[S->n_ops++];
  e.kind = kind;
  e.offset = S->arena_used;
  e.len = len;
  memcpy(S->arena + S->arena_used, bytes, len);
  S->arena_used += len;
}

void open_case() { M->valid = false; }

// The handshake of the run answering at once: REQUEST, or the digest of a
// usable challenge (a REQUEST at once after an unusable one or a failed
// first DIGEST send), or the DIGEST again. Then it waits for the server's
// decision; the result is the datagram's.
int model_handshake(const uint8_t* challenge, uint8_t challenge_len) {
  static const uint8_t request[9] = {0x00, 0x81, 'R', 'E', 'Q', 'U', 'E', 'S', 'T'};
  uint8_t digest_msg[24] = {0x00, 0x81, 'D', 'I', 'G', 'E', 'S', 'T'};
  for (;;) {
    switch (M->reg_state) {
      case REG_NONE:
        expect(OP_SEND, request, sizeof request);
        if (fz_send_result(M->cur_ctl) == FZ_FATAL) {
          M->waiting = false;
          return -1;
        }
        M->waiting = true;
        return 0;
      case REG_CHALLENGED:
        if (challenge == nullptr || challenge_len < 15 || challenge_len > 63) {
          M->reg_state = REG_NONE;
          continue;
        }
        ref_digest(challenge, challenge_len, M->password ? M->password : "", M->password_len,
                   M->digest);
        M->reg_state = REG_DIGEST_SENT;
        memcpy(digest_msg + 8, M->digest, 16);
        expect(OP_SEND, digest_msg, sizeof digest_msg);
        if (fz_send_result(M->cur_ctl) == FZ_FATAL) {
          M->reg_state = REG_NONE;
          challenge = nullptr;
          continue;
        }
        M->waiting = true;
        return 0;
      case REG_DIGEST_SENT:
        memcpy(digest_msg + 8, M->digest, 16);
        expect(OP_SEND, digest_msg, sizeof digest_msg);
        if (fz_send_result(M->cur_ctl) == FZ_FATAL) {
          M->waiting = false;
          return -1;
        }
        M->waiting = true;
        return 0;
      default:
        M->waiting = false;
        return 0;
    }
  }
}

void model_rebuild(uint8_t* t, const uint8_t* payload, size_t n) {
  put_be16(t + 2, static_cast<uint16_t>(n + 40));
  put_be16(t + 24, static_cast<uint16_t>(n + 20));
  put_be16(t + 30, static_cast<uint16_t>(get_be16(t + 30) + 1));
  put_be32(t + 32, get_be32(t + 32) + 160u);
  t[29] &= 0x7F;  // rebuilt packets carry the RTP marker clear
  t[10] = 0;
  t[11] = 0;
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += get_be16(t + i);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  sum = (sum & 0xFFFFu) + (sum >> 16);
  put_be16(t + 10, static_cast<uint16_t>(~sum));
  memcpy(M->out, t, 40);
  memcpy(M->out + 40, payload, n);
}

// Predicts the ops of one datagram; the result session_datagram (or, while
// registering at start, session_registering_datagram) gives.
int model_datagram(const uint8_t* d, size_t n, bool from_server) {
  if (!from_server) return 0;
  if (M->registering) {
    // Anything but a control message is no answer: nothing sent, nothing
    // counted, the state unchanged.
    if (n < 2 || d[0] != 0x00 || d[1] != 0x81) return 0;
  }
  if (n < 2) {
    open_case();
    return 0;
  }
  if (d[0] == 0x00 && d[1] == 0x00) {
    // Without pad bytes (P = 0) the packet travels unchanged, the one choice
    // consistent with the sender; a message with no packet byte is open.
    size_t p = M->password_len;
    if (n <= 2 + p) {
      open_case();
      return 0;
    }
    size_t len = n - 2 - p;
    for (size_t i = 0; i < len; i++) M->out[i] = d[2 + p + i] ^ (p ? d[2 + (i % p)] : 0);
    if (M->cfg->ingress_filter && !M->cfg->allow_all) {
      // The ingress filter: IPv4 with a 20-byte header, not a fragment, its
      // total length the bytes received; then what egress would forward.
      const uint8_t* q = M->out;
      if (len < 20 || q[0] != 0x45 || get_be16(q + 2) != len || (get_be16(q + 6) & 0x3FFF) != 0) {
        return 0;
      }
    }
    if (M->cfg->ingress_filter) {
      bool decided;
      bool fwd = ref_is_forwardable(M->cfg, M->out, len, &decided);
      if (!decided) {
        open_case();
        return 0;
      }
      if (!fwd) return 0;
    }
    expect(OP_WRITE, M->out, len);
    return fz_write_result(M->cur_ctl) == FZ_FATAL ? -1 : 0;
  }
  if (d[0] == 0x00 && d[1] == 0x81) {
    switch (n - 2 < 6 ? -1 : ref_match_keyword(d + 2, n - 2)) {
      case 1:
        if (!M->waiting) M->started++;
        M->reg_state = REG_CHALLENGED;
        return model_handshake(d + 12, static_cast<uint8_t>(n - 12));
      case 3:
        if (!M->waiting) M->started++;
        M->declined++;
        M->reg_state = REG_NONE;
        return model_handshake(nullptr, 0);
      case 4:
        M->reg_state = REG_AUTHORIZED;
        M->waiting = false;
        M->authorized = true;
        M->registering = false;
        return 0;
      default:
        // A control message that changes nothing: a waiting handshake sends
        // its message again at once; otherwise nothing.
        return M->waiting ? model_handshake(nullptr, 0) : 0;
    }
  }
  if (d[0] == 0x01 && d[1] == 0x81) {
    if (n < 3) open_case();
    return 0;
  }
  uint8_t* f = M->frame;
  memcpy(f, d, n);
  // Per call id, one recovery request per 110 ms (100 ms and a tick of the
  // coarse clock, in clock units, rounded up), hence at most one per frame:
  // the clock stands still in a frame. Across all call ids, at most 4 in a
  // window of that length, which starts with the first request asked for
  // after the previous window ended.
  const uint64_t gap = ((uint64_t{1} << 20) * 11 + 99) / 100;
  const unsigned budget = 4;
  ref_password_xor(f, n, M->password, M->password_len);
  size_t o = 0;
  while (o < n) {
    if (n - o < 2) {
      open_case();
      return 0;
    }
    uint8_t cid = f[o];
    uint8_t h = f[o + 1];
    if (cid == 0) {
      open_case();
      return 0;
    }
    int s = cid - 1;
    if (h == 0x00) {
      uint8_t* pkt = f + o + 2;
      // A carried packet shorter than its 40-byte header, or running past
      // the datagram's end (also when T > N, where the rules would still take
      // the template from bytes that may lie beyond the datagram): open.
      if (n - (o + 2) < 40) {
        open_case();
        return 0;
      }
      size_t t_len = get_be16(pkt + 2);
      if (t_len < 40 || t_len > n - (o + 2)) {
        open_case();
        return 0;
      }
      // The ingress filter: IPv4 with a 20-byte header, UDP length matching
      // the total length, RTP. A dropped full form leaves the template alone.
      if (M->cfg->ingress_filter &&
          (pkt[0] != 0x45 || get_be16(pkt + 24) != t_len - 20 || !ref_is_rtp(pkt, t_len))) {
        o += 2 + t_len;
        continue;
      }
      M->has_template[s] = true;
      pkt[26] = pkt[27] = 0;
      pkt[32] = pkt[33] = pkt[34] = pkt[35] = 0;
      memcpy(M->tmpl[s], pkt, 40);
      expect(OP_WRITE, pkt, t_len);
      if (fz_write_result(M->cur_ctl) == FZ_FATAL) return -1;
      o += 2 + t_len;
    } else if (h >= 2 && h <= 0x80) {
      size_t len, p;
      if (h == 0x80) {
        if (n - o < 4) {
          open_case();
          return 0;
        }
        len = get_be16(f + o + 2);
        p = o + 4;
      } else {
        len = h;
        p = o + 2;
      }
      if (len > n - p) {
        open_case();
        return 0;
      }
      if (M->has_template[s]) {
        if (len + 40 > REBUILD_BUF_SIZE) {
          open_case();
          return 0;
        }
        model_rebuild(M->tmpl[s], f + p, len);
        expect(OP_WRITE, M->out, len + 40);
        if (fz_write_result(M->cur_ctl) == FZ_FATAL) return -1;
      } else if (M->clock >= M->recovery_next[s]) {
        if (M->clock - M->budget_start >= gap || M->clock < M->budget_start) {
          M->budget_start = M->clock;
          M->budget_used = 0;
        }
        if (M->budget_used < budget) {
          // Only a request that went counts against the limits; one lost to
          // a transient error leaves the rest of the frame to be walked (and
          // the next frame may ask again), a fatal one ends the run.
          const uint8_t req[4] = {0x01, 0x81, cid, h};
          expect(OP_SEND, req, 4);
          const fz_result sent = fz_send_result(M->cur_ctl);
          if (sent == FZ_FATAL) return -1;
          if (sent == FZ_OK) {
            M->budget_used++;
            M->recovery_next[s] = M->clock + gap;
            M->recoveries++;
          }
        }
      }
      o = p + len;
    } else {
      return 0;  // invalid type byte: the rest of the frame is dropped
    }
  }
  return 0;
}

// Four RTP streams of 200-byte packets, so that recovery requests find
// egress entries.
void open_egress_calls(mux_ctx* s) {
  uint8_t pkt[200] = {};
  for (int i = 0; i < 4; i++) {
    pkt[0] = 0x45;
    put_be16(pkt + 2, sizeof pkt);
    pkt[8] = 64;
    pkt[9] = 17;
    const uint8_t src[4] = {10, 0, 0, 2};
    const uint8_t dst[4] = {10, 0, 1, static_cast<uint8_t>(10 + i)};
    memcpy(pkt + 12, src, 4);
    memcpy(pkt + 16, dst, 4);
    put_be16(pkt + 20, static_cast<uint16_t>(10000 + 2 * i));
    put_be16(pkt + 22, 20000);
    put_be16(pkt + 24, 180);
    pkt[28] = 0x80;
    pkt[29] = 0;
    fz_fill_rx(s, pkt, sizeof pkt);
    if (is_rtp_packet(s->rx_block, sizeof pkt)) {
      (void)session_tun_packet(s, s->rx_block, sizeof pkt, 0x70000000u, S->clock);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet_stdout();
  S = static_cast<seam_state*>(calloc(1, sizeof(seam_state)));
  M = static_cast<model*>(calloc(1, sizeof(model)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_reader r{data, size, 0};
  uint8_t s0 = fz_u8(&r);
  uint8_t s1 = fz_u8(&r);
  uint8_t s2 = fz_u8(&r);
  uint8_t s3 = fz_u8(&r);
  uint8_t s4 = fz_u8(&r);

  char* password = fz_pick_password(s0, s1 + ((s0 & 4u) ? 256u : 0u), s3);
  mux_config cfg;
  fz_config_init(&cfg, password);
  cfg.mtu = fz_pick_mtu(s2);
  cfg.ingress_filter = s4 & 1u;
  cfg.allow_ping = (s4 >> 1) & 1u;
  cfg.allow_all = (s4 >> 2) & 1u;
  if (s4 & 8u) cfg.sip_port = htons(40000);
  verbose = (s0 & 8u) ? 1 : 0;

  static mux_ctx ctx;
  static const int32_t start_states[4] = {REG_NONE, REG_CHALLENGED, REG_DIGEST_SENT,
                                          REG_AUTHORIZED};
  const bool registering = (s4 & 0x10u) != 0;

  S->ctx = &ctx;
  S->reader = &r;
  S->phase = PHASE_SETUP;
  S->cur_ctl = 0;
  S->cur_aux = 0;
  S->compare = false;
  S->clock = 0x4000000000ull;
  S->now_us = 0x100000000ull;
  fz_session_init(&ctx, &cfg, (s0 & 0x10u) != 0, FZ_SOCK_FD, FZ_TUN_FD, false);
  if (s0 & 0x20u) open_egress_calls(&ctx);
  if (registering) {
    // The REQUEST that opens the registration at start (its send succeeds).
    FZ_CHECK(session_apply(&ctx, reg_begin(&ctx.reg, S->now_us), S->now_us) == 0);
    FZ_CHECK(ctx.reg.waiting && ctx.reg.state == REG_NONE);
  } else {
    ctx.reg.state = start_states[s0 >> 6];
  }

  memset(M->has_template, 0, sizeof M->has_template);
  memset(M->recovery_next, 0, sizeof M->recovery_next);
  M->budget_start = 0;
  M->budget_used = 0;
  M->clock = S->clock;
  M->valid = true;
  M->reg_state = ctx.reg.state;
  M->waiting = ctx.reg.waiting;
  M->registering = registering;
  M->started = ctx.stats.registrations[REGS_STARTED];
  M->declined = 0;
  M->recoveries = 0;
  M->authorized = false;
  M->cfg = &cfg;
  M->password = password;
  M->password_len = ctx.ingress.password_len;
  FZ_CHECK(ctx.egress.password_len == M->password_len && ctx.forward.password_len == M->password_len);

  static const bool trace = getenv("FUZZ_TRACE") != nullptr;
  if (trace) {
    fprintf(stderr, "password %zu (K %u) mtu %u reg_state %d ipv6 %d egress calls %d "
            "ingress_filter %u allow_ping %u allow_all %u sip_port %u registering %d\n",
            password ? strlen(password) : 0, M->password_len, cfg.mtu, ctx.reg.state,
            (s0 & 0x10u) != 0, (s0 & 0x20u) != 0, cfg.ingress_filter, cfg.allow_ping,
            cfg.allow_all, ntohs(cfg.sip_port), registering);
  }
  S->phase = PHASE_INGRESS;
  bool reg_phase = registering;
  fz_record rec;
  while (fz_next_record(&r, &rec)) {
    S->cur_ctl = rec.ctl;
    S->cur_aux = rec.aux;
    S->clock += static_cast<uint64_t>(rec.len_field >> 13) << 15;
    S->now_us += static_cast<uint64_t>(rec.len_field >> 13) * 31250u;
    M->clock = S->clock;
    fz_fill_rx(&ctx, rec.data, rec.len);
    sockaddr_storage src;
    socklen_t src_len;
    fz_source_address(&ctx, rec.ctl, &src, &src_len);

    S->n_ops = 0;
    S->next_op = 0;
    S->arena_used = 0;
    int want = 0;
    const bool was_registering = M->registering;
    if (M->valid) {
      M->reader = r;
      M->cur_ctl = rec.ctl;
      M->cur_aux = rec.aux;
      want = model_datagram(rec.data, rec.len, fz_source_is_server(rec.ctl));
    }
    S->compare = M->valid;
    if (trace) {
      fprintf(stderr, "datagram %zu bytes %02x %02x source %u send %d write %d%s: model %s, "
              "%zu ops, result %d\n", rec.len, rec.len > 0 ? rec.data[0] : 0,
              rec.len > 1 ? rec.data[1] : 0, rec.ctl & 3u,
              static_cast<int>(fz_send_result(rec.ctl)),
              static_cast<int>(fz_write_result(rec.ctl)), was_registering ? " registering" : "",
              M->valid ? "valid" : "off", S->n_ops, want);
    }

    const auto* from = reinterpret_cast<const sockaddr*>(&src);
    // While registering at start, the loop hands datagrams over until the
    // server authorizes, and to the running phase's handling from then on.
    int rc;
    if (reg_phase) {
      rc = session_registering_datagram(&ctx, ctx.rx_block, rec.len, from, src_len, S->now_us);
      if (session_registered(&ctx)) reg_phase = false;
    } else {
      rc = session_datagram(&ctx, ctx.rx_block, rec.len, from, src_len, S->now_us, S->clock);
    }
    FZ_CHECK(rc == 0 || rc == -1);
    if (S->compare) {
      FZ_CHECK(reg_phase == M->registering);
      if (S->next_op != S->n_ops) {
        fprintf(stderr, "%zu of %zu predicted sends/TUN writes happened\n", S->next_op, S->n_ops);
      }
      FZ_CHECK(S->next_op == S->n_ops);
      FZ_CHECK(rc == want);
      FZ_CHECK(r.pos == M->reader.pos);
      FZ_CHECK(ctx.reg.state == M->reg_state);
      FZ_CHECK(ctx.reg.waiting == M->waiting);
      FZ_CHECK(ctx.stats.registrations[REGS_STARTED] == M->started);
      FZ_CHECK(ctx.stats.registrations[REGS_DECLINED] == M->declined);
      FZ_CHECK(ctx.stats.recovery_requests[DIR_EGRESS] == M->recoveries);
      FZ_CHECK(ctx.stats.last_authorized == (M->authorized ? FZ_WALL_TIME : 0));
    }
    if (rc != 0) break;
  }

  fz_end_input(&ctx, password);
  return 0;
}
