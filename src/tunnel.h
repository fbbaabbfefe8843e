// The one runtime record of the data path, endpoint setup and the stop request.
#pragma once

#include <sys/socket.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "config.h"

struct call_entry;
struct frame_batch;
struct rx_template;

constexpr size_t RX_BUF_SIZE = 4096;
constexpr size_t TX_BUF_SIZE = 4096;
constexpr int MAX_CALL_SLOTS = 255;
// Hash buckets of the egress call index (a power of two).
constexpr int CALL_INDEX_BUCKETS = 512;

enum reg_states : int32_t {
  REG_NONE = 0,
  REG_CHALLENGED = 1,
  REG_DIGEST_SENT = 2,
  REG_AUTHORIZED = 4,
};

struct mux_ctx {
  volatile sig_atomic_t running;  // written by the stop request in signal context
  int sock_fd;
  int tun_fd;
  int ctl_pipe[2];  // read end, write end
  uint8_t* rx_buf;     // RX_BUF_SIZE bytes
  uint8_t* frame_buf;  // mtu bytes
  uint8_t* tx_buf;     // TX_BUF_SIZE bytes
  uint16_t frame_len;
  uint16_t tx_len;
  call_entry* egress_calls[MAX_CALL_SLOTS];
  rx_template* rx_templates[MAX_CALL_SLOTS];
  uint32_t frame_stamp;
  uint8_t password_len;
  sockaddr_storage server_addr_storage;
  sockaddr* server_addr;
  socklen_t server_addrlen;
  const mux_config* config;
  int32_t reg_state;
  uint8_t digest[16];
  // Index of egress_calls by stream (addresses and ports), kept by egress.cc:
  // every slot with an entry is on the chain of its stream's hash bucket, the
  // chains in rising slot order. Links hold slot + 1, 0 ends a chain, so a
  // zeroed context has an empty index.
  uint8_t call_index_head[CALL_INDEX_BUCKETS];
  uint8_t call_index_next[MAX_CALL_SLOTS];
  // A handshake started during the run (the server's CHANLLANGE or DECLINED)
  // does not block the loop: while it waits for the server's decision, this
  // holds the time (registration_clock_us) at which its current message is
  // sent again; 0 while none waits.
  uint64_t reg_resend_at;
  // While the loop runs, frames to send are held here and sent together at
  // the end of its pass; null: each frame is sent at once.
  frame_batch* batch;
  // Kept by ingress.cc: per call id (index call id - 1), the egress clock
  // value (io_monotonic_clock) from which a recovery request for it may be
  // sent again. 0 in a zeroed context: any time.
  uint64_t recovery_next[MAX_CALL_SLOTS];
};

// The process-wide context; the signal handler reaches it here.
extern mux_ctx g_ctx;

// Fills the context from the configuration and opens the control pipe, the
// TUN device and the non-blocking UDP socket. 0 or -1.
int setup_context(mux_ctx* ctx, const mux_config* cfg);

// Adds O_NONBLOCK; returns fd, or -1 after closing it.
int set_nonblocking(int fd);

// Clears `running` and writes one wake byte to the control pipe. Async-signal-
// safe. 0 done; -1 already stopped or the write failed.
int request_stop(mux_ctx* ctx);

// True once if a stop was requested while the loop was not running (during
// setup); the loop then ends right after it starts.
bool take_pending_stop();

// SIGINT/SIGTERM handler: request_stop on g_ctx.
void stop_signal_handler(int signo);

// True when the address equals the server's (same length, same bytes).
bool is_server_address(const mux_ctx* ctx, const sockaddr* addr, socklen_t len);

// True when fd can be put into an fd_set (0 <= fd < FD_SETSIZE).
bool fd_fits_select(int fd);

// Errors after which a send to the server counts as done and what it carried
// is lost silently: EAGAIN/EWOULDBLOCK, ENETUNREACH, ENETDOWN, EPERM, EINTR,
// EMSGSIZE.
bool is_transient_send_error(int err);

// The same set without EMSGSIZE, for receives from the socket.
bool is_transient_recv_error(int err);
