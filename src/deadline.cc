#include "deadline.h"

namespace {

constexpr uint64_t US_PER_SECOND = 1000000;
constexpr unsigned CLOCK_SECOND_SHIFT = 20;
constexpr uint32_t CLOCK_MICROS_MASK = 0xFFFFF;

}  // namespace

uint64_t loop_clock_us_until_due(uint32_t now, uint32_t stamp, uint32_t max_age) {
  if (frame_due(now, stamp, max_age)) return 0;
  // The clock must advance by `ahead` units; work in unwrapped 64-bit values.
  const uint32_t ahead = max_age - static_cast<uint32_t>(now - stamp);
  const uint64_t target = static_cast<uint64_t>(now) + ahead;
  const uint64_t now_sec = now >> CLOCK_SECOND_SHIFT;
  uint64_t now_us = now & CLOCK_MICROS_MASK;
  if (now_us > US_PER_SECOND) now_us = US_PER_SECOND;
  const uint64_t target_sec = target >> CLOCK_SECOND_SHIFT;
  uint64_t target_us = target & CLOCK_MICROS_MASK;
  // A target in the unused top of a second is first reached when the next
  // second begins.
  if (target_us > US_PER_SECOND) target_us = US_PER_SECOND;
  return (target_sec - now_sec) * US_PER_SECOND + target_us - now_us;
}

uint64_t deadline_wait_us(const deadline_set* d, uint64_t now) {
  uint64_t wait = UINT64_MAX;
  for (uint64_t at : d->at) {
    if (at == 0) continue;
    const uint64_t us = at > now ? at - now : 0;
    if (us < wait) wait = us;
  }
  return wait;
}
