#include "classify.h"

#include <cstring>

#include "bytes.h"

namespace {

constexpr uint8_t PROTO_ICMP = 1;
constexpr uint8_t PROTO_UDP = 17;

// Compares the raw 16-bit field at `off` with a port held in network order.
bool port_field_is(const uint8_t* pkt, size_t len, size_t off, uint16_t port_net) {
  if (len < off + 2) return false;
  uint8_t want[2];
  memcpy(want, &port_net, 2);
  return pkt[off] == want[0] && pkt[off + 1] == want[1];
}

}  // namespace

bool is_static_payload_type(uint8_t pt) {
  return pt <= 19 || pt == 25 || pt == 26 || pt == 28 || (pt >= 31 && pt <= 34);
}

bool is_rtp_packet(const uint8_t* pkt, size_t len) {
  // Bytes 28 and 29 (the first two RTP bytes behind fixed 20-byte IPv4 and
  // 8-byte UDP headers) must exist for the test to mean anything.
  if (len < RTP_TEST_MIN_LEN) return false;
  // Only what the receiver can rebuild from a 40-byte template is carried as
  // media: IPv4 with a 20-byte header, not a fragment (more-fragments flag and
  // offset both 0), and the whole packet as its total length says.
  if (pkt[0] != 0x45 || (get_be16(pkt + 6) & 0x3FFF) != 0 || get_be16(pkt + 2) != len) {
    return false;
  }
  return pkt[9] == PROTO_UDP && (pkt[28] & 0xC0) == 0x80 && is_static_payload_type(pkt[29] & 0x7F);
}

bool is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len) {
  if (cfg->allow_all) return true;
  if (len < 10) return false;
  if (cfg->allow_ping && pkt[9] == PROTO_ICMP) return true;
  if (pkt[9] != PROTO_UDP) return false;
  return port_field_is(pkt, len, 20, cfg->sip_port) || port_field_is(pkt, len, 22, cfg->sip_port);
}
