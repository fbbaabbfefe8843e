#include "ingress_filter.h"

#include "bytes.h"
#include "classify.h"
#include "wire.h"

namespace {

constexpr uint8_t IPV4_HEADER_20 = 0x45;  // version 4, header of five words
constexpr size_t OFF_IP_TOTAL_LEN = 2;
constexpr size_t OFF_IP_FRAGMENT = 6;
constexpr uint16_t FRAGMENT_BITS = 0x3FFF;  // more-fragments flag and offset
constexpr size_t OFF_UDP_LEN = 24;

// The big-endian 16-bit field at `off`; false when it lies beyond the packet.
bool field_be16(const uint8_t* pkt, size_t len, size_t off, uint16_t* out) {
  byte_cursor c = make_cursor(pkt, len);
  return cursor_take(&c, off) != nullptr && cursor_be16(&c, out) == 0;
}

ingress_verdict check_full(const uint8_t* pkt, size_t len) {
  byte_cursor c = make_cursor(pkt, len);
  uint8_t first = 0;
  if (cursor_u8(&c, &first) != 0 || first != IPV4_HEADER_20) return INGRESS_DROP_NOT_IPV4_20;
  if (!is_rtp_packet(pkt, len)) return INGRESS_DROP_NOT_RTP;
  uint16_t total = 0;
  uint16_t udp_len = 0;
  if (!field_be16(pkt, len, OFF_IP_TOTAL_LEN, &total) ||
      !field_be16(pkt, len, OFF_UDP_LEN, &udp_len) || total < IPV4_HEADER_LEN ||
      udp_len != total - IPV4_HEADER_LEN) {
    return INGRESS_DROP_UDP_LENGTH;
  }
  return INGRESS_PASS;
}

// The packet of a non-RTP message, without allow_all.
ingress_verdict check_non_rtp(const mux_config* cfg, const uint8_t* pkt, size_t len) {
  if (len < IPV4_HEADER_LEN || pkt[0] != IPV4_HEADER_20) return INGRESS_DROP_NOT_IPV4_20;
  uint16_t total = 0;
  uint16_t fragment = 0;
  if (!field_be16(pkt, len, OFF_IP_TOTAL_LEN, &total) ||
      !field_be16(pkt, len, OFF_IP_FRAGMENT, &fragment) || total != len ||
      (fragment & FRAGMENT_BITS) != 0) {
    return INGRESS_DROP_NOT_WHOLE;
  }
  return is_forwardable(cfg, pkt, len) ? INGRESS_PASS : INGRESS_DROP_NOT_FORWARDABLE;
}

}  // namespace

ingress_verdict ingress_filter_check(const mux_config* cfg, ingress_kind kind,
                                     const uint8_t* pkt, size_t len) {
  if (cfg->ingress_filter == 0) return INGRESS_PASS;
  if (kind == INGRESS_FULL) return check_full(pkt, len);
  if (cfg->allow_all) return INGRESS_PASS;  // egress forwards anything too
  return check_non_rtp(cfg, pkt, len);
}

const char* ingress_verdict_name(ingress_verdict v) {
  switch (v) {
    case INGRESS_PASS:
      return "pass";
    case INGRESS_DROP_NOT_IPV4_20:
      return "not-ipv4-20";
    case INGRESS_DROP_UDP_LENGTH:
      return "udp-length";
    case INGRESS_DROP_NOT_RTP:
      return "not-rtp";
    case INGRESS_DROP_NOT_FORWARDABLE:
      return "not-forwardable";
    case INGRESS_DROP_NOT_WHOLE:
      return "not-whole";
    case INGRESS_VERDICT_COUNT:
      break;
  }
  return "?";
}
