#include "egress.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "forward.h"
#include "log.h"
#include "netio.h"
#include "sendbatch.h"
#include "wire.h"

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
  return pkt[9] == 17 && (pkt[28] & 0xC0) == 0x80 && is_static_payload_type(pkt[29] & 0x7F);
}

slot_state call_slot_state(const call_entry* e, uint64_t now, uint32_t rtp_timeout) {
  if (e == nullptr) return SLOT_EMPTY;
  if (e->force_full) return SLOT_EXPIRED;
  // The clock is monotonic; were it ever behind the stamp, no time has passed.
  const uint64_t age = now > e->last_seen ? now - e->last_seen : 0;
  return age < rtp_timeout ? SLOT_LIVE : SLOT_EXPIRED;
}

namespace {

bool same_stream(const call_entry* e, const uint8_t* pkt) {
  return memcmp(e->src_addr, pkt + 12, 4) == 0 && memcmp(e->src_port, pkt + 20, 2) == 0 &&
         memcmp(e->dst_addr, pkt + 16, 4) == 0 && memcmp(e->dst_port, pkt + 22, 2) == 0;
}

// The call index. Each slot with an entry sits on the chain of the hash
// bucket of its stream; a chain lists its slots in rising order, so the first
// live match on it is the lowest-numbered one, as the plain scan would find.
// A slot stays indexed while expired (its fields stay until the slot is
// taken again): expiry depends on the clock and is judged at each lookup.

constexpr uint32_t CALL_INDEX_MASK = CALL_INDEX_BUCKETS - 1;
static_assert((CALL_INDEX_BUCKETS & CALL_INDEX_MASK) == 0, "bucket count must be a power of two");
static_assert(MAX_CALL_SLOTS < 256, "links are slot + 1 in one byte");

// Bucket of a stream from its addresses (source, destination) and ports
// (source, destination), in the order of packet bytes 12 to 23.
uint32_t stream_bucket(const uint8_t* src_addr, const uint8_t* dst_addr, const uint8_t* src_port,
                       const uint8_t* dst_port) {
  uint32_t h = get_be32(src_addr) * 0x9E3779B1u;
  h = (h ^ get_be32(dst_addr)) * 0x85EBCA77u;
  h = (h ^ ((static_cast<uint32_t>(get_be16(src_port)) << 16) | get_be16(dst_port))) * 0xC2B2AE3Du;
  h ^= h >> 16;
  return h & CALL_INDEX_MASK;
}

uint32_t packet_bucket(const uint8_t* pkt) {
  return stream_bucket(pkt + 12, pkt + 16, pkt + 20, pkt + 22);
}

uint32_t entry_bucket(const call_entry* e) {
  return stream_bucket(e->src_addr, e->dst_addr, e->src_port, e->dst_port);
}

// A chain holds each slot at most once, so no walk takes more hops than
// there are slots; the bound only matters if the index were ever damaged.

// Puts `slot` (whose entry holds its stream) on its bucket's chain.
void index_insert(mux_ctx* ctx, int slot) {
  uint8_t* link = &ctx->call_index_head[entry_bucket(ctx->egress_calls[slot])];
  for (int hops = 0; *link != 0 && *link - 1 < slot && hops < MAX_CALL_SLOTS; hops++) {
    link = &ctx->call_index_next[*link - 1];
  }
  ctx->call_index_next[slot] = *link;
  *link = static_cast<uint8_t>(slot + 1);
}

// Takes `slot` off the chain of the stream its entry still holds.
void index_remove(mux_ctx* ctx, int slot) {
  uint8_t* link = &ctx->call_index_head[entry_bucket(ctx->egress_calls[slot])];
  for (int hops = 0; *link != 0 && *link - 1 != slot && hops < MAX_CALL_SLOTS; hops++) {
    link = &ctx->call_index_next[*link - 1];
  }
  if (*link == slot + 1) *link = ctx->call_index_next[slot];
  ctx->call_index_next[slot] = 0;
}

// The lowest free (empty or expired) slot below `limit`, or -1.
int lowest_free_slot(const mux_ctx* ctx, int limit, uint64_t now) {
  const uint32_t rtp_timeout = ctx->config->rtp_timeout;
  for (int i = 0; i < limit; i++) {
    if (call_slot_state(ctx->egress_calls[i], now, rtp_timeout) != SLOT_LIVE) return i;
  }
  return -1;
}

// A packet whose sub-packet could never fit into frame_buf (an mtu smaller
// than the packet): rather than lose it, send it whole as a non-RTP message.
int carry_whole(mux_ctx* ctx, const uint8_t* pkt, size_t len) {
  log_message("RTP packet of %zu bytes does not fit a frame of %u bytes, sent whole", len,
              static_cast<unsigned>(ctx->config->mtu));
  return write_sip_packet_to_sock(ctx, pkt, len);
}

// A packet of a live stream in slot `slot`; `clock` is the egress clock.
int carry_live(mux_ctx* ctx, call_entry* e, const uint8_t* pkt, size_t len, uint32_t now,
               uint64_t clock) {
  // nothing to compress: dropped, not refreshed
  if (len <= MEDIA_HEADER_LEN) return stats_drop(&ctx->stats, DIR_EGRESS, DROP_SHORT);
  e->last_seen = clock;
  const size_t mtu = ctx->config->mtu;
  uint8_t pt = pkt[29] & 0x7F;
  if (pt != e->payload_type || e->send_full) {
    // The receiver needs a new template. If the full form cannot travel, the
    // entry keeps the old type so that the next packet tries the full form again.
    if (sub_packet_size(SUB_FULL, len) > mtu) return carry_whole(ctx, pkt, len);
    e->payload_type = pt;
    e->send_full = false;
    return append_sub_packet(ctx, e->call_id, SUB_FULL, pkt, len, now);
  }
  size_t n = len - MEDIA_HEADER_LEN;
  uint8_t type = compressed_type_for(n);
  if (sub_packet_size(type, n) > mtu) return carry_whole(ctx, pkt, len);
  return append_sub_packet(ctx, e->call_id, type, pkt + MEDIA_HEADER_LEN, n, now);
}

// The first packet of a stream (or of one back after expiry) in free slot `slot`.
int open_call(mux_ctx* ctx, int slot, const uint8_t* pkt, size_t len, uint32_t now,
              uint64_t clock) {
  // Without a whole 40-byte header the receiver could not build a template.
  if (len < MEDIA_HEADER_LEN) return stats_drop(&ctx->stats, DIR_EGRESS, DROP_SHORT);
  // A call whose full form cannot travel is not opened: every packet of the
  // stream then goes whole until one fits.
  if (sub_packet_size(SUB_FULL, len) > ctx->config->mtu) return carry_whole(ctx, pkt, len);
  call_entry* e = ctx->egress_calls[slot];
  if (e == nullptr) {
    e = static_cast<call_entry*>(calloc(1, sizeof(call_entry)));
    if (e == nullptr) {
      log_message("calloc");
      return stats_drop(&ctx->stats, DIR_EGRESS, DROP_NO_MEMORY);  // the tunnel stays up
    }
    ctx->egress_calls[slot] = e;
  } else {
    index_remove(ctx, slot);  // the entry is about to hold another stream
  }
  memcpy(e->src_addr, pkt + 12, 4);
  memcpy(e->src_port, pkt + 20, 2);
  memcpy(e->dst_addr, pkt + 16, 4);
  memcpy(e->dst_port, pkt + 22, 2);
  index_insert(ctx, slot);
  e->call_id = static_cast<uint8_t>(slot + 1);
  stats_slot_open(&ctx->stats, slot);
  e->payload_type = pkt[29] & 0x7F;
  e->last_seen = clock;
  e->force_full = false;
  e->send_full = false;
  return append_sub_packet(ctx, e->call_id, SUB_FULL, pkt, len, now);
}

}  // namespace

int find_call_slot(const mux_ctx* ctx, const uint8_t* pkt, uint64_t now) {
  const mux_config* cfg = ctx->config;
  const int limit = cfg->max_call < MAX_CALL_SLOTS ? cfg->max_call : MAX_CALL_SLOTS;
  // The live slot of the stream: the first live match on its bucket's chain,
  // which runs in rising slot order.
  uint8_t link = ctx->call_index_head[packet_bucket(pkt)];
  for (int hops = 0; link != 0 && hops < MAX_CALL_SLOTS; hops++) {
    const int slot = link - 1;
    link = ctx->call_index_next[slot];
    if (slot >= limit) break;
    const call_entry* e = ctx->egress_calls[slot];
    if (e != nullptr && same_stream(e, pkt) &&
        call_slot_state(e, now, cfg->rtp_timeout) == SLOT_LIVE) {
      return slot;
    }
  }
  // A stream without a live slot: the lowest free one, searched only now.
  return lowest_free_slot(ctx, limit, now);
}

int mux_rtp_packet(mux_ctx* ctx, const uint8_t* pkt, size_t len, uint32_t now) {
  if (len < RTP_TEST_MIN_LEN) return 0;  // not RTP by the test; never read past it
  int rc = 0;
  const uint64_t clock = io_monotonic_clock();
  int slot = find_call_slot(ctx, pkt, clock);
  if (slot < 0) {
    log_message("ore maximum calls are running ......!!!");
    stats_drop(&ctx->stats, DIR_EGRESS, DROP_NO_SLOT);
  } else {
    call_entry* e = ctx->egress_calls[slot];
    if (call_slot_state(e, clock, ctx->config->rtp_timeout) == SLOT_LIVE) {
      rc = carry_live(ctx, e, pkt, len, now, clock);
    } else {
      rc = open_call(ctx, slot, pkt, len, now, clock);
    }
  }
  if (rc == 0 && ctx->frame_len != 0 && ctx->frame_len == ctx->config->mtu) {
    ctx->stats.flushes[FLUSH_FULL]++;
    rc = write_muxed_data_to_sock(ctx);
  }
  return rc;
}

int append_sub_packet(mux_ctx* ctx, uint8_t call_id, uint8_t type, const uint8_t* data,
                      size_t data_len, uint32_t now) {
  const size_t mtu = ctx->config->mtu;
  const size_t item = sub_packet_size(type, data_len);
  if (item > mtu) return 0;  // callers divert these; never overflow frame_buf
  if (ctx->frame_len + item > mtu) {
    ctx->stats.flushes[FLUSH_NO_ROOM]++;
    if (write_muxed_data_to_sock(ctx) != 0) return -1;
  }
  if (ctx->frame_len == 0) ctx->frame_stamp = now;
  uint8_t* p = ctx->frame_buf + ctx->frame_len;
  size_t head = write_sub_packet_head(p, call_id, type, static_cast<uint16_t>(data_len));
  memcpy(p + head, data, data_len);
  ctx->frame_len = static_cast<uint16_t>(ctx->frame_len + item);
  stats_egress_rtp(&ctx->stats, call_id, type, data_len, now);
  return 0;
}

int write_muxed_data_to_sock(mux_ctx* ctx) {
  size_t len = ctx->frame_len;
  if (len == 0) return 0;
  stats_frame(&ctx->stats, DIR_EGRESS, len);
  password_xor(ctx->frame_buf, len, ctx->config->password, ctx->password_len);
  if (ctx->batch != nullptr) {
    ctx->frame_len = 0;
    return frame_batch_add(ctx, ctx->frame_buf, len);
  }
  ssize_t sent = io_sendto(ctx->sock_fd, ctx->frame_buf, len, ctx->server_addr, ctx->server_addrlen);
  int err = errno;
  ctx->frame_len = 0;
  if (sent < 0) stats_drop(&ctx->stats, DIR_EGRESS, DROP_SEND_ERROR);
  if (sent >= 0 || is_transient_send_error(err)) return 0;
  LOG_ERRNO("write_muxed_data_to_sock() %s [%d]\n", err);
  return -1;
}

void egress_force_full(mux_ctx* ctx, uint8_t call_id) {
  if (call_id == 0) return;
  call_entry* e = ctx->egress_calls[call_id - 1];
  if (e == nullptr) return;
  e->last_seen = 0;
  e->force_full = true;
}

void egress_refresh_templates(mux_ctx* ctx) {
  for (call_entry* e : ctx->egress_calls) {
    if (e != nullptr) e->send_full = true;
  }
}

void free_call_entries(mux_ctx* ctx) {
  for (auto& e : ctx->egress_calls) {
    free(e);
    e = nullptr;
  }
  memset(ctx->call_index_head, 0, sizeof ctx->call_index_head);
  memset(ctx->call_index_next, 0, sizeof ctx->call_index_next);
}
