// The server watch: whether the server is still there, and finding it again
// when it is not. Pure: it is told what was sent and heard, and when, and
// answers with what to do.
//
// Alive: after `server_timeout` of sending without hearing anything from the
// server it is probed: a REQUEST, again every 2 s. Any datagram from it keeps
// everything as it is. Three probes unanswered: the server is lost. The name
// is resolved again and every address it gives is sent a REQUEST in turn at
// the same pace; the first that answers becomes the server. A round without
// an answer is followed by a pause that doubles up to a minute, then the
// name is resolved again. With server_timeout 0 the watch does nothing.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

constexpr uint64_t WATCH_PROBE_GAP_US = 2000000;
constexpr int WATCH_PROBES = 3;
constexpr uint64_t WATCH_BACKOFF_MAX_US = 60000000;
// How long a resolution may take before it counts as failed.
constexpr uint64_t WATCH_RESOLVE_LIMIT_US = 10000000;
constexpr int WATCH_CANDIDATES = 8;

enum watch_state : uint8_t { WATCH_ALIVE, WATCH_PROBING, WATCH_SEARCHING };

struct watch_candidate {
  sockaddr_storage addr;
  socklen_t len;
};

struct server_watch {
  uint64_t timeout_us;   // server_timeout; 0: off
  uint8_t state;
  uint64_t last_heard;   // monotonic us of the last datagram from the server (the start before)
  bool heard;            // anything heard at all
  uint64_t quiet_since;  // the first send since then, 0 none
  uint64_t sends_seen;   // the link's send count at the last look
  int probes;            // probes sent while probing
  uint64_t next_at;      // the next probe or search step, 0 none
  // Searching: the name's addresses, the next one to ask, the pause after
  // an unanswered round, and whether a resolution is under way.
  watch_candidate candidates[WATCH_CANDIDATES];
  int count;
  int next;
  uint64_t backoff_us;
  bool resolving;
  uint64_t lost_total;
};

enum watch_action : uint8_t {
  WATCH_NOTHING,
  WATCH_PROBE,    // send a REQUEST to the server
  WATCH_LOST,     // the server is lost: log it, count it, resolve the name
  WATCH_ASK,      // send a REQUEST to candidates[asked]
  WATCH_RESOLVE,  // resolve the name again (a new round)
};

void watch_init(server_watch* w, uint32_t server_timeout_s, uint64_t now);

// The link's count of datagrams sent, looked at once a pass: sending starts
// the clock of server_timeout when nothing was pending.
void watch_sent(server_watch* w, uint64_t sends, uint64_t now);

// A datagram from the server's address: it is alive; a search ends.
void watch_heard(server_watch* w, uint64_t now);

// When the watch wants watch_tick; 0 never.
uint64_t watch_deadline(const server_watch* w);

// The watch's time has come: what to do. For WATCH_ASK, *asked is the
// candidate's index.
watch_action watch_tick(server_watch* w, uint64_t now, int* asked);

// The resolution ended with these addresses (none: it failed); the round
// starts at `now` (the current address is asked when the name gave none).
void watch_resolved(server_watch* w, const watch_candidate* found, int count,
                    const sockaddr* current, socklen_t current_len, uint64_t now);

// Index of the candidate with this address, or -1 (also when not searching).
int watch_candidate_index(const server_watch* w, const sockaddr* addr, socklen_t len);

// A candidate answered: it is the server now.
void watch_found(server_watch* w, uint64_t now);

// "registered", "probing", "lost" or "searching" for the status.
const char* watch_state_name(const server_watch* w, bool registered);
