// Counters of the no-op system-call seam used by the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netio.h"

struct null_netio_counters {
  uint64_t sends;
  uint64_t sent_bytes;
  uint64_t writes;
  uint64_t written_bytes;
};

extern null_netio_counters null_io;
