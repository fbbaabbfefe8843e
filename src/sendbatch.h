// Frames held for one pass of the event loop and sent together with one
// sendmmsg: a wake that finds many packets makes several frames full at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

// Frames one batch holds; a further frame sends the held ones first.
constexpr unsigned FRAME_BATCH_MAX = 16;

struct frame_batch {
  uint8_t* bufs;  // FRAME_BATCH_MAX slots of `slot` bytes
  size_t slot;
  uint16_t lens[FRAME_BATCH_MAX];
  unsigned count;
};

// Allocates the slots for frames of up to `mtu` bytes. 0 or -1.
int frame_batch_init(frame_batch* b, size_t mtu);
void frame_batch_free(frame_batch* b);

// Holds a copy of a frame (already XORed) of `len` bytes, sending the held
// frames first when the batch is full. 0, or -1 after a fatal send error.
int frame_batch_add(mux_ctx* ctx, const uint8_t* frame, size_t len);

// Sends the held frames to the server, in order, and empties the batch. A
// frame lost to a transient error is dropped silently; any other error is
// logged as for a single frame ("write_muxed_data_to_sock() %s [%d]\n"), the
// rest are dropped, and the result is -1. 0 otherwise (also with no batch).
int frame_batch_flush(mux_ctx* ctx);
