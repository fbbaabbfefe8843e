// An in-memory stand-in for the data path's system calls: every datagram sent
// and every TUN write is captured; results can be scripted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct fake_packet {
  int fd;
  std::vector<uint8_t> bytes;
};

struct fake_netio_state {
  std::vector<fake_packet> sent;     // io_sendto
  std::vector<fake_packet> written;  // io_write
  int send_errno = 0;                // nonzero: io_sendto fails with it
  int write_errno = 0;               // nonzero: io_write fails with it
};

extern fake_netio_state fake_io;

// Clears captures and scripted failures.
void fake_netio_reset();
