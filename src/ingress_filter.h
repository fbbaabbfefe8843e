// The ingress filter (setting `ingress_filter`): with it set, what the server
// sends reaches the TUN device only when it is what the calls need. The
// server's datagrams are checked by their source address alone and carry no
// key a forger would lack, so without the filter anyone who can send from
// that address places arbitrary packets on the router's TUN interface.
//
// A packet rebuilt from a call's template is not checked again: the template
// is taken only from a full form that passed, and rebuilding changes no byte
// the checks look at but the lengths, which it sets consistently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"

// What kind of packet the server's datagram yields.
enum ingress_kind : uint8_t {
  INGRESS_FULL,     // full-form sub-packet of a frame: the whole IPv4 packet
  INGRESS_NON_RTP,  // the packet a non-RTP message carries, pad removed
};

// Pass, or why the packet is dropped. Numbered from 0 without gaps, so that
// drops can be counted in an array indexed by the reason.
enum ingress_verdict : uint8_t {
  INGRESS_PASS = 0,
  INGRESS_DROP_NOT_IPV4_20,      // first byte not 0x45 (IPv6, IPv4 options, ...)
  INGRESS_DROP_UDP_LENGTH,       // full form, RTP: UDP length not IPv4 total length - 20
  INGRESS_DROP_NOT_RTP,          // full form failing the RTP test
  INGRESS_DROP_NOT_FORWARDABLE,  // non-RTP message: egress would not forward it
  INGRESS_DROP_NOT_WHOLE,        // non-RTP message: a fragment, or total length not its size
  INGRESS_VERDICT_COUNT,
};

// The decision for a packet of `len` bytes: INGRESS_PASS whenever
// cfg->ingress_filter is 0. A full form is checked for its first byte, then
// by the RTP test, then for its lengths. The packet of a non-RTP message
// passes anything with allow_all; otherwise it must be IPv4 with a 20-byte
// header (as the RTP test asks: the protocol and ports are read at fixed
// offsets), not a fragment, its total length the bytes received, before its
// protocol and ports are judged as egress judges them. The first check that
// fails names the reason. Pure: reads the packet and the settings only.
ingress_verdict ingress_filter_check(const mux_config* cfg, ingress_kind kind,
                                     const uint8_t* pkt, size_t len);

// A short lower-case name of a verdict ("pass", "not-ipv4-20", ...).
const char* ingress_verdict_name(ingress_verdict v);
