#include "control.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "log.h"

namespace {

volatile sig_atomic_t stop_asked = 0;
volatile sig_atomic_t status_asked = 0;
volatile sig_atomic_t wake_fd = -1;
int read_fd = -1;

void wake() {
  const int fd = wake_fd;
  if (fd < 0) return;
  const uint8_t byte = 0;
  // A full pipe already holds a wake: nothing is lost when this one fails.
  // The pipe is the process's own: its calls stay out of the system-call
  // seam, which need not be safe in a signal handler.
  (void)write(fd, &byte, 1);
}

}  // namespace

int control_open() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    log_message("pipe");
    return -1;
  }
  read_fd = fds[0];
  wake_fd = fds[1];
  // A request that came before the pipe existed still wakes the first wait.
  if (stop_asked != 0 || status_asked != 0) wake();
  return 0;
}

int control_fd() { return read_fd; }

void control_stop_handler(int) {
  // The interrupted code may be about to read errno: keep it.
  const int saved = errno;
  if (stop_asked == 0) {
    stop_asked = 1;
    wake();
  }
  errno = saved;
}

void control_status_handler(int) {
  const int saved = errno;
  if (status_asked == 0) {
    status_asked = 1;
    wake();
  }
  errno = saved;
}

bool control_stop_requested() { return stop_asked != 0; }

control_request control_take(bool drain) {
  if (drain && read_fd >= 0) {
    uint8_t bytes[64];
    while (read(read_fd, bytes, sizeof bytes) > 0) {
    }
  }
  if (stop_asked != 0) return CTL_STOP;
  if (status_asked != 0) {
    status_asked = 0;
    return CTL_STATUS;
  }
  return CTL_NONE;
}

void control_clear() {
  stop_asked = 0;
  status_asked = 0;
  if (read_fd >= 0) (void)control_take(true);
}
