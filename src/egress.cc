#include "egress.h"

#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "classify.h"
#include "log.h"
#include "wire.h"

slot_state call_slot_state(const call_entry* c, uint64_t now, uint32_t rtp_timeout) {
  if (c == nullptr) return SLOT_EMPTY;
  if (c->force_full) return SLOT_EXPIRED;
  // The clock is monotonic; were it ever behind the stamp, no time has passed.
  const uint64_t age = now > c->last_seen ? now - c->last_seen : 0;
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
void index_insert(egress_state* eg, int slot) {
  uint8_t* link = &eg->index_head[entry_bucket(eg->calls[slot])];
  for (int hops = 0; *link != 0 && *link - 1 < slot && hops < MAX_CALL_SLOTS; hops++) {
    link = &eg->index_next[*link - 1];
  }
  eg->index_next[slot] = *link;
  *link = static_cast<uint8_t>(slot + 1);
}

// Takes `slot` off the chain of the stream its entry still holds.
void index_remove(egress_state* eg, int slot) {
  uint8_t* link = &eg->index_head[entry_bucket(eg->calls[slot])];
  for (int hops = 0; *link != 0 && *link - 1 != slot && hops < MAX_CALL_SLOTS; hops++) {
    link = &eg->index_next[*link - 1];
  }
  if (*link == slot + 1) *link = eg->index_next[slot];
  eg->index_next[slot] = 0;
}

// The lowest free (empty or expired) slot below `limit`, or -1.
int lowest_free_slot(const egress_state* eg, int limit, uint64_t now) {
  const uint32_t rtp_timeout = eg->cfg->rtp_timeout;
  for (int i = 0; i < limit; i++) {
    if (call_slot_state(eg->calls[i], now, rtp_timeout) != SLOT_LIVE) return i;
  }
  return -1;
}

// A packet whose sub-packet could never fit into the frame (an mtu smaller
// than the packet): rather than lose it, it goes whole as a non-RTP message.
int carry_whole(const egress_state* eg, size_t len) {
  log_message("RTP packet of %zu bytes does not fit a frame of %u bytes, sent whole", len,
              static_cast<unsigned>(eg->cfg->mtu));
  return EGRESS_CARRY_WHOLE;
}

// A packet of a live stream in slot `slot`; `clock` is the egress clock.
int carry_live(egress_state* eg, call_entry* e, const uint8_t* pkt, size_t len, uint32_t now,
               uint64_t clock) {
  // nothing to compress: dropped, not refreshed
  if (len <= MEDIA_HEADER_LEN) return stats_drop(eg->stats, DIR_EGRESS, DROP_SHORT);
  e->last_seen = clock;
  const size_t mtu = eg->cfg->mtu;
  uint8_t pt = pkt[29] & 0x7F;
  if (pt != e->payload_type || e->send_full) {
    // The receiver needs a new template. If the full form cannot travel, the
    // entry keeps the old type so that the next packet tries the full form again.
    if (sub_packet_size(SUB_FULL, len) > mtu) return carry_whole(eg, len);
    e->payload_type = pt;
    e->send_full = false;
    return append_sub_packet(eg, e->call_id, SUB_FULL, pkt, len, now);
  }
  size_t n = len - MEDIA_HEADER_LEN;
  uint8_t type = compressed_type_for(n);
  if (sub_packet_size(type, n) > mtu) return carry_whole(eg, len);
  return append_sub_packet(eg, e->call_id, type, pkt + MEDIA_HEADER_LEN, n, now);
}

// The first packet of a stream (or of one back after expiry) in free slot `slot`.
int open_call(egress_state* eg, int slot, const uint8_t* pkt, size_t len, uint32_t now,
              uint64_t clock) {
  // Without a whole 40-byte header the receiver could not build a template.
  if (len < MEDIA_HEADER_LEN) return stats_drop(eg->stats, DIR_EGRESS, DROP_SHORT);
  // A call whose full form cannot travel is not opened: every packet of the
  // stream then goes whole until one fits.
  if (sub_packet_size(SUB_FULL, len) > eg->cfg->mtu) return carry_whole(eg, len);
  call_entry* e = eg->calls[slot];
  if (e == nullptr) {
    e = static_cast<call_entry*>(calloc(1, sizeof(call_entry)));
    if (e == nullptr) {
      log_message("calloc");
      return stats_drop(eg->stats, DIR_EGRESS, DROP_NO_MEMORY);  // the tunnel stays up
    }
    eg->calls[slot] = e;
  } else {
    index_remove(eg, slot);  // the entry is about to hold another stream
  }
  memcpy(e->src_addr, pkt + 12, 4);
  memcpy(e->src_port, pkt + 20, 2);
  memcpy(e->dst_addr, pkt + 16, 4);
  memcpy(e->dst_port, pkt + 22, 2);
  index_insert(eg, slot);
  e->call_id = static_cast<uint8_t>(slot + 1);
  stats_slot_open(eg->stats, slot);
  e->payload_type = pkt[29] & 0x7F;
  e->last_seen = clock;
  e->force_full = false;
  e->send_full = false;
  return append_sub_packet(eg, e->call_id, SUB_FULL, pkt, len, now);
}

}  // namespace

int find_call_slot(const egress_state* eg, const uint8_t* pkt, uint64_t now) {
  const mux_config* cfg = eg->cfg;
  const int limit = cfg->max_call < MAX_CALL_SLOTS ? cfg->max_call : MAX_CALL_SLOTS;
  // The live slot of the stream: the first live match on its bucket's chain,
  // which runs in rising slot order.
  uint8_t link = eg->index_head[packet_bucket(pkt)];
  for (int hops = 0; link != 0 && hops < MAX_CALL_SLOTS; hops++) {
    const int slot = link - 1;
    link = eg->index_next[slot];
    if (slot >= limit) break;
    const call_entry* e = eg->calls[slot];
    if (e != nullptr && same_stream(e, pkt) &&
        call_slot_state(e, now, cfg->rtp_timeout) == SLOT_LIVE) {
      return slot;
    }
  }
  // A stream without a live slot: the lowest free one, searched only now.
  return lowest_free_slot(eg, limit, now);
}

int egress_packet(egress_state* eg, const uint8_t* pkt, size_t len, uint32_t now, uint64_t clock) {
  if (len < RTP_TEST_MIN_LEN) return EGRESS_DONE;  // not RTP by the test; never read past it
  int rc = EGRESS_DONE;
  int slot = find_call_slot(eg, pkt, clock);
  if (slot < 0) {
    log_message("ore maximum calls are running ......!!!");
    stats_drop(eg->stats, DIR_EGRESS, DROP_NO_SLOT);
  } else {
    call_entry* e = eg->calls[slot];
    if (call_slot_state(e, clock, eg->cfg->rtp_timeout) == SLOT_LIVE) {
      rc = carry_live(eg, e, pkt, len, now, clock);
    } else {
      rc = open_call(eg, slot, pkt, len, now, clock);
    }
  }
  if (rc == EGRESS_DONE && eg->frame_len != 0 && eg->frame_len == eg->cfg->mtu) {
    rc = egress_send_frame(eg, FLUSH_FULL);
  }
  return rc;
}

int append_sub_packet(egress_state* eg, uint8_t call_id, uint8_t type, const uint8_t* data,
                      size_t data_len, uint32_t now) {
  const size_t mtu = eg->cfg->mtu;
  const size_t item = sub_packet_size(type, data_len);
  if (item > mtu) return 0;  // callers divert these; never overflow frame_buf
  if (eg->frame_len + item > mtu && egress_send_frame(eg, FLUSH_NO_ROOM) != 0) return -1;
  if (eg->frame_len == 0) eg->frame_stamp = now;
  uint8_t* p = eg->frame_buf + eg->frame_len;
  size_t head = write_sub_packet_head(p, call_id, type, static_cast<uint16_t>(data_len));
  memcpy(p + head, data, data_len);
  eg->frame_len = static_cast<uint16_t>(eg->frame_len + item);
  stats_egress_rtp(eg->stats, call_id, type, data_len, now);
  return 0;
}

int egress_send_frame(egress_state* eg, stat_flush why) {
  const size_t len = eg->frame_len;
  if (len == 0) return 0;
  eg->stats->flushes[why]++;
  stats_frame(eg->stats, DIR_EGRESS, len);
  password_xor(eg->frame_buf, len, eg->cfg->password, eg->password_len);
  eg->frame_len = 0;
  return link_queue_frame(eg->link, eg->frame_buf, len);
}

void egress_force_full(egress_state* eg, uint8_t call_id) {
  if (call_id == 0) return;
  call_entry* e = eg->calls[call_id - 1];
  if (e == nullptr) return;
  e->last_seen = 0;
  e->force_full = true;
}

void egress_refresh_templates(egress_state* eg) {
  for (call_entry* e : eg->calls) {
    if (e != nullptr) e->send_full = true;
  }
}

void free_call_entries(egress_state* eg) {
  for (auto& e : eg->calls) {
    free(e);
    e = nullptr;
  }
  memset(eg->index_head, 0, sizeof eg->index_head);
  memset(eg->index_next, 0, sizeof eg->index_next);
}

int egress_init(egress_state* eg, const mux_config* cfg, server_link* link, mux_stats* stats) {
  memset(eg, 0, sizeof *eg);
  eg->cfg = cfg;
  eg->link = link;
  eg->stats = stats;
  eg->password_len = static_cast<uint8_t>(cfg->password != nullptr ? strlen(cfg->password) : 0);
  // Exactly mtu bytes: a sub-packet never runs past the frame.
  eg->frame_buf = static_cast<uint8_t*>(calloc(cfg->mtu != 0 ? cfg->mtu : 1, 1));
  return eg->frame_buf != nullptr ? 0 : -1;
}

void egress_free(egress_state* eg) {
  free_call_entries(eg);
  free(eg->frame_buf);
  eg->frame_buf = nullptr;
  eg->frame_len = 0;
}
