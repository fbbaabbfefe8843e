#include "fuzz_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sanitizer/asan_interface.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "log.h"

uint8_t fz_u8(fz_reader* r) {
  if (r->pos >= r->len) return 0;
  return r->data[r->pos++];
}

uint32_t fz_be32(fz_reader* r) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | fz_u8(r);
  return v;
}

bool fz_next_record(fz_reader* r, fz_record* rec) {
  if (r->len - r->pos < 4) return false;
  rec->ctl = r->data[r->pos];
  rec->aux = r->data[r->pos + 1];
  rec->len_field = static_cast<uint16_t>((r->data[r->pos + 2] << 8) | r->data[r->pos + 3]);
  r->pos += 4;
  size_t n = rec->len_field & 0x1FFFu;
  if (n > 4096) n = 4096;
  if (n > r->len - r->pos) n = r->len - r->pos;
  rec->data = r->data + r->pos;
  rec->len = n;
  r->pos += n;
  return true;
}

static fz_result two_bits(unsigned v) {
  switch (v & 3u) {
    case 2:
      return FZ_TRANSIENT;
    case 3:
      return FZ_FATAL;
    default:
      return FZ_OK;
  }
}

fz_result fz_send_result(uint8_t ctl) { return two_bits(ctl >> 2); }
fz_result fz_write_result(uint8_t ctl) { return two_bits(ctl >> 4); }
fz_result fz_recv_result(uint8_t aux) { return two_bits(aux >> 3); }

int fz_send_errno(fz_result r, uint8_t aux) {
  static const int transient[] = {EAGAIN, EWOULDBLOCK, ENETUNREACH, ENETDOWN,
                                  EPERM,  EINTR,       EMSGSIZE,    EAGAIN};
  static const int fatal[] = {ENOBUFS, ECONNREFUSED, EBADF, EINVAL};
  if (r == FZ_TRANSIENT) return transient[aux & 7u];
  return fatal[aux & 3u];
}

int fz_write_errno(fz_result r, uint8_t aux) {
  static const int transient[] = {EAGAIN, EPERM, EINTR, EINVAL, EIO, EAGAIN, EIO, EINTR};
  static const int fatal[] = {ENOSPC, EBADF, ENOSPC, EFAULT};
  if (r == FZ_TRANSIENT) return transient[aux & 7u];
  return fatal[aux & 3u];
}

int fz_recv_errno(fz_result r, uint8_t aux) {
  static const int transient[] = {EAGAIN, ENETUNREACH, ENETDOWN, EPERM, EINTR, EAGAIN, EINTR, EAGAIN};
  static const int fatal[] = {ECONNREFUSED, EBADF, ENOTSOCK, EFAULT};
  if (r == FZ_TRANSIENT) return transient[aux & 7u];
  return fatal[aux & 3u];
}

ssize_t fz_send_return(uint8_t ctl, uint8_t aux, size_t len) {
  fz_result r = fz_send_result(ctl);
  if (r == FZ_OK) return static_cast<ssize_t>(len);
  errno = fz_send_errno(r, aux);
  return -1;
}

ssize_t fz_write_return(uint8_t ctl, uint8_t aux, size_t len) {
  fz_result r = fz_write_result(ctl);
  if (r == FZ_OK) return static_cast<ssize_t>(len);
  errno = fz_write_errno(r, aux);
  return -1;
}

bool fz_recv_fails(uint8_t aux) {
  fz_result r = fz_recv_result(aux);
  if (r == FZ_OK) return false;
  errno = fz_recv_errno(r, aux);
  return true;
}

// Where fz_touch leaves its result, so that the reads are not optimised away.
volatile uint8_t fz_touch_sink;

void fz_touch(const void* buf, size_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  uint8_t x = 0;
  for (size_t i = 0; i < len; i++) x ^= p[i];
  fz_touch_sink = x;
}

char* fz_make_password(size_t len, uint8_t seed) {
  char* p = static_cast<char*>(malloc(len + 1));
  uint32_t x = 0x9E3779B9u ^ seed;
  for (size_t i = 0; i < len; i++) {
    x = ref_xorshift32(x);
    uint8_t c = static_cast<uint8_t>(x);
    p[i] = static_cast<char>(c == 0 ? 'x' : c);
  }
  p[len] = '\0';
  return p;
}

char* fz_pick_password(unsigned choice, size_t len, uint8_t seed) {
  switch (choice & 3u) {
    case 0:
      return nullptr;
    case 1:
      return fz_make_password(0, seed);
    default:
      return fz_make_password(len, seed);
  }
}

void fz_config_init(mux_config* cfg, const char* password) {
  *cfg = mux_config{};
  config_set_defaults(cfg);
  cfg->password = password;
  cfg->server = "127.0.0.1";
}

void fz_session_init(mux_ctx* s, const mux_config* cfg, bool ipv6_server, int sock_fd,
                     int tun_fd, bool batch_slots) {
  memset(s, 0, sizeof *s);
  s->config = cfg;
  server_link* l = &s->link;
  l->fd = sock_fd;
  l->alt_fd = -1;
  l->stats = &s->stats;
  if (ipv6_server) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = cfg->port;
    a.sin6_addr = in6addr_loopback;
    memcpy(&l->addr, &a, sizeof a);
    l->addrlen = sizeof a;
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = cfg->port;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    memcpy(&l->addr, &a, sizeof a);
    l->addrlen = sizeof a;
  }
  l->slot = cfg->mtu != 0 ? cfg->mtu : 1;
  if (batch_slots) l->bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, l->slot));
  s->tun.fd = tun_fd;
  s->tun.stats = &s->stats;
  FZ_CHECK(session_prepare(s, cfg) == 0);
  FZ_CHECK(s->config == cfg && s->rx_block != nullptr && s->egress.frame_buf != nullptr);
}

void fz_session_free(mux_ctx* s) {
  egress_free(&s->egress);
  free_rx_templates(&s->ingress);
  fz_unpoison_rx(s);
  free(s->rx_block);
  free(s->link.bufs);
  memset(s, 0, sizeof *s);
}

void fz_end_input(mux_ctx* s, char* password) {
  fz_session_free(s);
  free(password);
  verbose = 0;
}

size_t fz_fill_slot(uint8_t* slot, const uint8_t* data, size_t len) {
  ASAN_UNPOISON_MEMORY_REGION(slot, RX_SLOT_SIZE);
  if (len > RX_SLOT_SIZE) len = RX_SLOT_SIZE;
  if (len > 0) memcpy(slot, data, len);
  ASAN_POISON_MEMORY_REGION(slot + len, RX_SLOT_SIZE - len);
  return len;
}

size_t fz_fill_rx(mux_ctx* s, const uint8_t* data, size_t len) {
  return fz_fill_slot(s->rx_block, data, len);
}

void fz_unpoison_rx(mux_ctx* s) {
  if (s->rx_block != nullptr) ASAN_UNPOISON_MEMORY_REGION(s->rx_block, RX_BATCH * RX_SLOT_SIZE);
}

bool fz_source_is_server(uint8_t choice) { return (choice & 3u) < 2; }

bool fz_is_server_address(const mux_ctx* s, const void* addr, socklen_t len) {
  return addr != nullptr && len == s->link.addrlen && memcmp(addr, &s->link.addr, len) == 0;
}

void fz_source_address(const mux_ctx* s, uint8_t choice, sockaddr_storage* out,
                       socklen_t* out_len) {
  memset(out, 0, sizeof *out);
  memcpy(out, &s->link.addr, s->link.addrlen);
  *out_len = s->link.addrlen;
  switch (choice & 3u) {
    case 2: {
      // Same family and address, another port: a stranger on the host.
      auto* bytes = reinterpret_cast<uint8_t*>(out);
      bytes[offsetof(sockaddr_in, sin_port)] ^= 0x01;
      break;
    }
    case 3:
      *out_len = s->link.addrlen + 4;
      break;
    default:
      break;
  }
}

void fz_report_source(const mux_ctx* s, uint8_t choice, sockaddr* from, socklen_t* fromlen) {
  sockaddr_storage src;
  socklen_t src_len;
  fz_source_address(s, choice, &src, &src_len);
  size_t copy = *fromlen < src_len ? *fromlen : src_len;
  if (copy > sizeof src) copy = sizeof src;
  memcpy(from, &src, copy);
  *fromlen = src_len;
}

uint16_t fz_pick_mtu(uint8_t b) {
  static const uint16_t table[] = {1472, 1472, 1500, 1400, 512, 256, 200, 164,
                                   100,  64,   44,   42,   41,  40,  8,   2,
                                   1,    0,    9000, 4096, 4097, 65535, 3000, 1473};
  constexpr size_t n = sizeof table / sizeof table[0];
  if (b < n) return table[b];
  if (b >= 0xF0) return static_cast<uint16_t>(b - 0xF0 + 30);  // 30..45
  return static_cast<uint16_t>(1472 - (b - n) * 5);
}

uint32_t fz_pick_timeout(uint8_t b) {
  static const uint32_t table[] = {60000000u, 60000000u, 1000, 100000, 1u << 20, 0, 1,
                                   0xFFFFFFFFu, 0x80000000u, 5000000u};
  return table[b % (sizeof table / sizeof table[0])];
}

uint32_t fz_pick_muxing_time(uint8_t b) {
  static const uint32_t table[] = {80000, 80000, 0, 1, 20000, 1u << 20, 0xFFFFFFFFu, 160000};
  return table[b % (sizeof table / sizeof table[0])];
}

uint8_t fz_pick_max_call(uint8_t b) {
  static const uint8_t table[] = {255, 255, 1, 2, 3, 4, 8, 16, 254, 128};
  return table[b % (sizeof table / sizeof table[0])];
}

// ---------------------------------------------------- reference rules --

void ref_password_xor(uint8_t* buf, size_t len, const char* password, uint8_t key_len) {
  if (password == nullptr || password[0] == '\0' || len <= 2) return;
  uint8_t k = 0;
  for (size_t i = 2; i < len; i++) {
    if (k == key_len) k = 0;
    buf[i] ^= static_cast<uint8_t>(password[k]);
    k = static_cast<uint8_t>(k + 1);
  }
}

bool ref_is_static_pt(uint8_t pt) {
  return pt <= 19 || pt == 25 || pt == 26 || pt == 28 || (pt >= 31 && pt <= 34);
}

bool ref_is_rtp(const uint8_t* pkt, size_t len) {
  // A plain 20-byte IPv4 header, no fragment, the length it claims.
  if (pkt[0] != 0x45 || (pkt[6] & 0x3F) != 0 || pkt[7] != 0) return false;
  if (((static_cast<size_t>(pkt[2]) << 8) | pkt[3]) != len) return false;
  return pkt[9] == 17 && (pkt[28] & 0xC0) == 0x80 && ref_is_static_pt(pkt[29] & 0x7F);
}

bool ref_is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len, bool* decided) {
  *decided = true;
  if (cfg->allow_all) return true;
  if (len < 10) {
    *decided = false;
    return false;
  }
  if (cfg->allow_ping && pkt[9] == 1) return true;
  if (pkt[9] != 17) return false;
  if (len < 24) {
    *decided = false;
    return false;
  }
  // Both ports are compared as raw network-order fields, as the setting is held.
  return memcmp(pkt + 20, &cfg->sip_port, 2) == 0 || memcmp(pkt + 22, &cfg->sip_port, 2) == 0;
}

uint32_t ref_xorshift32(uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

int ref_match_keyword(const uint8_t* payload, size_t len) {
  static const char* const kw[5] = {"REQUEST", "CHANLLANGE", "DIGEST", "DECLINED", "AUTHORIZED"};
  for (int i = 0; i < 5; i++) {
    size_t k = strlen(kw[i]);
    if (len >= k && memcmp(payload, kw[i], k) == 0) return i;
  }
  return -1;
}

namespace {

struct md5_state {
  uint32_t a, b, c, d;
};

inline uint32_t rol(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

void md5_block(md5_state* s, const uint8_t* p) {
  static const uint32_t K[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
      0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
      0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
      0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
      0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
      0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
      0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
      0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
      0xeb86d391};
  static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  uint32_t m[16];
  for (int i = 0; i < 16; i++) {
    m[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
  }
  uint32_t a = s->a, b = s->b, c = s->c, d = s->d;
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + rol(a + f + K[i] + m[g], R[i]);
    a = t;
  }
  s->a += a;
  s->b += b;
  s->c += c;
  s->d += d;
}

}  // namespace

void ref_md5(const uint8_t* data, size_t len, uint8_t out[16]) {
  md5_state s{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  size_t i = 0;
  for (; len - i >= 64; i += 64) md5_block(&s, data + i);
  uint8_t tail[128] = {};
  size_t rest = len - i;
  if (rest > 0) memcpy(tail, data + i, rest);
  tail[rest] = 0x80;
  size_t tail_len = rest + 1 + 8 <= 64 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(len) * 8u;
  for (int k = 0; k < 8; k++) tail[tail_len - 8 + k] = static_cast<uint8_t>(bits >> (8 * k));
  md5_block(&s, tail);
  if (tail_len == 128) md5_block(&s, tail + 64);
  uint32_t words[4] = {s.a, s.b, s.c, s.d};
  for (int w = 0; w < 4; w++) {
    for (int k = 0; k < 4; k++) out[4 * w + k] = static_cast<uint8_t>(words[w] >> (8 * k));
  }
}

void ref_digest(const uint8_t* challenge, size_t l, const char* password, size_t p,
                uint8_t out[16]) {
  uint8_t buf[2 * 64 + 2 * 512 + 1];
  size_t n = 0;
  memcpy(buf + n, challenge, l);
  n += l;
  if (p > 0) memcpy(buf + n, password, p);
  n += p;
  if (p > 0) memcpy(buf + n, password, p);
  n += p;
  buf[n++] = ':';
  memcpy(buf + n, challenge, l);
  n += l;
  ref_md5(buf, n, out);
}

void fz_quiet_stdout() {
  if (freopen("/dev/null", "w", stdout) == nullptr) {
    // Logging then goes to the terminal: noisy, not wrong.
  }
}
