// The configuration record and the reader of the key=value file.
#pragma once

#include <cstdint>

struct mux_config {
  const char* config_path;   // heap copy of the -c argument
  int32_t command;           // 0 none, 1 start, 2 stop, 3 restart
  const char* password;      // absent: null
  const char* server;        // absent: null
  const char* intf;          // "tun0"
  uint16_t port;             // network byte order, 42000
  uint16_t mtu;              // host order, 1472
  uint16_t sip_port;         // network byte order, 5060
  uint8_t max_call;          // 1..255, 255
  uint32_t max_muxing_time;  // loop-clock units, 80000
  uint32_t waiting_time;     // microseconds, 0
  uint32_t rtp_timeout;      // loop-clock units, 60000000
  const char* up;
  const char* down;
  const char* pidfile;
  const char* logfile;
  uint8_t allow_all;
  uint8_t allow_ping;
  uint16_t max_idle_cycle;
  uint8_t ingress_filter;    // 0 or 1: write to TUN only what the calls need
  const char* status_file;   // absent: no status file is written
  uint32_t status_interval;  // seconds between status-file writes, 10
  uint32_t server_timeout;   // seconds of sending unheard before probing, 0: never
};

enum mux_command : int32_t {
  CMD_NONE = 0,
  CMD_START = 1,
  CMD_STOP = 2,
  CMD_RESTART = 3,
  CMD_STATUS = 4,
};

// Puts the defaults in place (the record is expected to be zeroed first).
void config_set_defaults(mux_config* cfg);

// Reads the file over the defaults. 0 success; -1 unreadable file, malformed
// line, or server/port missing; 1 a value out of range or a failed export.
// Every key but "password" is exported to the environment.
int load_config_file(mux_config* cfg, const char* path);

// With a password configured: logs a warning when the configuration file
// (cfg->config_path) can be read by its group or by others. Returns 1 when
// it is, else 0 (also when the file cannot be looked at).
int warn_if_password_readable(const mux_config* cfg);
