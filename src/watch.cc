#include "watch.h"

#include <cstring>

#include "deadline.h"

namespace {

constexpr uint64_t US_PER_SECOND = 1000000;

void become_alive(server_watch* w) {
  w->state = WATCH_ALIVE;
  w->probes = 0;
  w->next_at = 0;
  w->resolving = false;
  w->count = 0;
  w->next = 0;
  w->backoff_us = 0;
}

}  // namespace

void watch_init(server_watch* w, uint32_t server_timeout_s, uint64_t now) {
  memset(w, 0, sizeof *w);
  w->timeout_us = static_cast<uint64_t>(server_timeout_s) * US_PER_SECOND;
  w->last_heard = now;
}

void watch_sent(server_watch* w, uint64_t sends, uint64_t now) {
  if (sends == w->sends_seen) return;
  w->sends_seen = sends;
  if (w->quiet_since == 0) w->quiet_since = now != 0 ? now : 1;
}

void watch_heard(server_watch* w, uint64_t now) {
  w->last_heard = now;
  w->heard = true;
  w->quiet_since = 0;
  if (w->state != WATCH_ALIVE) become_alive(w);
}

uint64_t watch_deadline(const server_watch* w) {
  if (w->timeout_us == 0) return 0;
  if (w->state == WATCH_ALIVE) {
    return w->quiet_since != 0 ? deadline_after(w->quiet_since, w->timeout_us) : 0;
  }
  return w->next_at;
}

watch_action watch_tick(server_watch* w, uint64_t now, int* asked) {
  const uint64_t due = watch_deadline(w);
  if (due == 0 || now < due) return WATCH_NOTHING;
  switch (w->state) {
    case WATCH_ALIVE:
      w->state = WATCH_PROBING;
      w->probes = 1;
      w->next_at = deadline_after(now, WATCH_PROBE_GAP_US);
      return WATCH_PROBE;
    case WATCH_PROBING:
      if (w->probes < WATCH_PROBES) {
        w->probes++;
        w->next_at = deadline_after(now, WATCH_PROBE_GAP_US);
        return WATCH_PROBE;
      }
      w->state = WATCH_SEARCHING;
      w->lost_total++;
      w->resolving = true;
      w->count = 0;
      w->next = 0;
      w->backoff_us = 0;
      // The resolution's limit; its results usually come long before.
      w->next_at = deadline_after(now, WATCH_RESOLVE_LIMIT_US);
      return WATCH_LOST;
    default:
      break;
  }
  if (w->resolving) {
    // The resolver did not answer in time: the round goes on without it.
    w->resolving = false;
    w->count = 0;
    w->next = 0;
  }
  if (w->next < w->count) {
    *asked = w->next++;
    w->next_at = deadline_after(now, WATCH_PROBE_GAP_US);
    return WATCH_ASK;
  }
  if (w->count != 0 || w->backoff_us == 0) {
    // A whole round without an answer: pause, doubling up to a minute.
    w->backoff_us = w->backoff_us == 0 ? WATCH_PROBE_GAP_US : w->backoff_us * 2;
    if (w->backoff_us > WATCH_BACKOFF_MAX_US) w->backoff_us = WATCH_BACKOFF_MAX_US;
    w->count = 0;
    w->next = 0;
    w->next_at = deadline_after(now, w->backoff_us);
    return WATCH_NOTHING;
  }
  w->resolving = true;
  w->next_at = deadline_after(now, WATCH_RESOLVE_LIMIT_US);
  return WATCH_RESOLVE;
}

void watch_resolved(server_watch* w, const watch_candidate* found, int count,
                    const sockaddr* current, socklen_t current_len, uint64_t now) {
  if (w->state != WATCH_SEARCHING || !w->resolving) return;
  w->resolving = false;
  w->count = 0;
  for (int i = 0; i < count && w->count < WATCH_CANDIDATES; i++) {
    if (found[i].len == 0 || found[i].len > sizeof found[i].addr) continue;
    w->candidates[w->count++] = found[i];
  }
  if (w->count == 0 && current_len != 0 && current_len <= sizeof(sockaddr_storage)) {
    memcpy(&w->candidates[0].addr, current, current_len);
    w->candidates[0].len = current_len;
    w->count = 1;
  }
  w->next = 0;
  w->next_at = now != 0 ? now : 1;  // the first one at once
}

int watch_candidate_index(const server_watch* w, const sockaddr* addr, socklen_t len) {
  if (w->state != WATCH_SEARCHING) return -1;
  for (int i = 0; i < w->count; i++) {
    if (w->candidates[i].len == len && memcmp(&w->candidates[i].addr, addr, len) == 0) return i;
  }
  return -1;
}

void watch_found(server_watch* w, uint64_t now) { watch_heard(w, now); }

const char* watch_state_name(const server_watch* w, bool registered) {
  switch (w->state) {
    case WATCH_PROBING:
      return "probing";
    case WATCH_SEARCHING:
      return w->count != 0 && w->next > 0 ? "searching" : "lost";
    default:
      return registered ? "registered" : "not registered";
  }
}
