#include "stats.h"

#include "wire.h"

const char* const stats_direction_names[DIR_COUNT] = {"egress", "ingress"};
const char* const stats_kind_names[KIND_COUNT] = {"rtp_full", "rtp_short", "rtp_long", "non_rtp",
                                                    "rtp_whole"};
const char* const stats_flush_names[FLUSH_COUNT] = {"full", "no_room", "age"};
const char* const stats_drop_names[DROP_COUNT] = {
    "not_forwardable", "no_slot",     "short",       "too_large",  "send_error",
    "write_error",     "no_memory",   "foreign_source", "runt",    "bad_type",
    "bad_call_id",     "truncated",   "short_full",  "no_template", "filtered",
};
const char* const stats_registration_names[REGS_COUNT] = {"started", "authorized", "declined"};

const char* const stats_drop_words[DROP_COUNT] = {
    "not forwardable",
    "no free call slot",
    "RTP of 40 bytes or less",
    "too large",
    "transient send error",
    "transient TUN write error",
    "out of memory",
    "foreign source",
    "too short for its kind",
    "invalid sub-packet type",
    "call id 0",
    "truncated sub-packet",
    "full form under 40 bytes",
    "compressed without template",
    "refused by the ingress filter",
};

int stats_walk_drop(mux_stats* s, int walk_status) {
  switch (walk_status) {
    case WALK_BAD_TYPE:
      return stats_drop(s, DIR_INGRESS, DROP_BAD_TYPE);
    case WALK_BAD_CALL_ID:
      return stats_drop(s, DIR_INGRESS, DROP_BAD_CALL_ID);
    case WALK_TRUNCATED:
      return stats_drop(s, DIR_INGRESS, DROP_TRUNCATED);
    case WALK_SHORT_FULL:
      return stats_drop(s, DIR_INGRESS, DROP_SHORT_FULL);
    default:
      return 0;
  }
}

void stats_authorized(mux_stats* s, int64_t wall) {
  s->registrations[REGS_AUTHORIZED]++;
  s->last_authorized = wall;
}

bool stats_drop_applies(stat_direction d, stat_drop why) {
  switch (why) {
    case DROP_NOT_FORWARDABLE:
    case DROP_NO_SLOT:
    case DROP_SHORT:
    case DROP_SEND_ERROR:  // also recovery requests that could not go
      return d == DIR_EGRESS;
    case DROP_TOO_LARGE:
    case DROP_NO_MEMORY:
      return true;
    default:
      return d == DIR_INGRESS;
  }
}

uint64_t stats_wire_bytes(const mux_stats* s, stat_direction d, bool ipv6) {
  return s->frame_bytes[d] + s->frames[d] * (ipv6 ? 48 : 28);
}

uint64_t stats_plain_bytes(const mux_stats* s, stat_direction d) {
  return s->bytes[d][KIND_RTP_FULL] + s->bytes[d][KIND_RTP_SHORT] + s->bytes[d][KIND_RTP_LONG];
}

