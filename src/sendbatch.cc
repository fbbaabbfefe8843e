#include "sendbatch.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "netio.h"

int frame_batch_init(frame_batch* b, size_t mtu) {
  memset(b, 0, sizeof *b);
  b->slot = mtu != 0 ? mtu : 1;
  b->bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, b->slot));
  return b->bufs != nullptr ? 0 : -1;
}

void frame_batch_free(frame_batch* b) {
  free(b->bufs);
  b->bufs = nullptr;
  b->count = 0;
}

int frame_batch_add(mux_ctx* ctx, const uint8_t* frame, size_t len) {
  frame_batch* b = ctx->batch;
  if (len > b->slot) return 0;  // never: frames are at most mtu bytes
  int rc = 0;
  if (b->count == FRAME_BATCH_MAX) rc = frame_batch_flush(ctx);
  memcpy(b->bufs + b->count * b->slot, frame, len);
  b->lens[b->count++] = static_cast<uint16_t>(len);
  return rc;
}

int frame_batch_flush(mux_ctx* ctx) {
  frame_batch* b = ctx->batch;
  if (b == nullptr || b->count == 0) return 0;
  iovec iov[FRAME_BATCH_MAX];
  mmsghdr msgs[FRAME_BATCH_MAX];
  memset(msgs, 0, sizeof msgs);
  for (unsigned i = 0; i < b->count; i++) {
    iov[i].iov_base = b->bufs + i * b->slot;
    iov[i].iov_len = b->lens[i];
    msgs[i].msg_hdr.msg_name = ctx->server_addr;
    msgs[i].msg_hdr.msg_namelen = ctx->server_addrlen;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const unsigned n = b->count;
  b->count = 0;
  unsigned i = 0;
  while (i < n) {
    int sent = io_sendmmsg(ctx->sock_fd, msgs + i, n - i);
    if (sent > 0) {
      i += static_cast<unsigned>(sent);
      continue;
    }
    int err = sent == 0 ? EAGAIN : errno;
    if (!is_transient_send_error(err)) {
      LOG_ERRNO("write_muxed_data_to_sock() %s [%d]\n", err);
      return -1;
    }
    i++;  // that frame is lost; the others still go
  }
  return 0;
}
