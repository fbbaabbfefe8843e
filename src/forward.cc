#include "forward.h"
// (to be written)
uint32_t pad_rng_state = 0x2545F491u;
bool is_forwardable(const mux_config*, const uint8_t*, size_t) { return false; }
int write_sip_packet_to_sock(mux_ctx*, const uint8_t*, size_t) { return 0; }
int write_sip_packet_to_tun(mux_ctx*, const uint8_t*, size_t) { return 0; }
