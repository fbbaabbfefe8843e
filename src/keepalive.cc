#include "keepalive.h"

#include "deadline.h"

void keepalive_init(keepalive* k, uint32_t waiting_time_us, uint16_t max_idle_cycle) {
  k->period_us = waiting_time_us;
  k->max_idle = max_idle_cycle;
  k->idle = 0;
  k->at = 0;
}

void keepalive_start(keepalive* k, uint64_t now) { keepalive_traffic(k, now); }

void keepalive_traffic(keepalive* k, uint64_t now) {
  k->idle = 0;
  k->at = k->period_us != 0 ? deadline_after(now, k->period_us) : 0;
}

bool keepalive_tick(keepalive* k, uint64_t now, bool busy) {
  if (k->at == 0 || now < k->at) return false;
  // On the grid of the ticks, so that late wakes do not add up; a tick
  // missed by more than a period is not made up.
  k->at += k->period_us;
  if (k->at <= now) k->at = deadline_after(now, k->period_us);
  if (busy) return false;
  if (k->idle == k->max_idle) {
    k->idle = 0;
    return true;
  }
  k->idle++;
  return false;
}
