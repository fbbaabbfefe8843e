#include "config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

namespace {

constexpr size_t LINE_BUF = 512;

// Signed 32-bit decimal: leading white space, optional sign, digits up to the
// first other character; no digits gives 0. Wraps instead of overflowing.
int32_t to_int(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = (*s++ == '-');
  uint32_t v = 0;
  while (*s >= '0' && *s <= '9') v = v * 10u + static_cast<uint32_t>(*s++ - '0');
  return static_cast<int32_t>(neg ? 0u - v : v);
}

// The text fields one pass over the file has filled with heap copies.
struct text_copies {
  const char** fields[8];
  int count;
};

// Stores a heap copy of the value; it lives until the process ends, like the
// record. A copy that an earlier line of the same file made is given back
// (defaults are constant strings and are only ever overwritten).
void copy_text(text_copies* copies, const char** field, const char* value) {
  bool ours = false;
  for (int i = 0; i < copies->count; i++) ours = ours || copies->fields[i] == field;
  if (ours) {
    free(const_cast<char*>(*field));
  } else if (copies->count < static_cast<int>(sizeof copies->fields / sizeof copies->fields[0])) {
    copies->fields[copies->count++] = field;
  }
  *field = strdup(value);
}

// Stores one known key; returns 0, or 1 for a value out of range.
int apply_key(mux_config* cfg, text_copies* copies, const char* key, const char* value) {
  if (strcmp(key, "server") == 0) {
    copy_text(copies, &cfg->server, value);
  } else if (strcmp(key, "port") == 0) {
    cfg->port = htons(static_cast<uint16_t>(to_int(value)));
  } else if (strcmp(key, "password") == 0) {
    copy_text(copies, &cfg->password, value);
  } else if (strcmp(key, "mtu") == 0) {
    int32_t v = to_int(value);
    if (v >= 9001) {
      log_message("MTU %ld is too large", static_cast<long>(v));
      return 1;
    }
    // Below 1 nothing fits a frame, and a negative value would wrap to 65535
    // and make frames no UDP datagram can carry.
    if (v < 1) {
      log_message("MTU %ld is too small", static_cast<long>(v));
      return 1;
    }
    cfg->mtu = static_cast<uint16_t>(v);
  } else if (strcmp(key, "intf") == 0) {
    copy_text(copies, &cfg->intf, value);
  } else if (strcmp(key, "max_muxing_time") == 0) {
    cfg->max_muxing_time = static_cast<uint32_t>(to_int(value));
  } else if (strcmp(key, "max_call") == 0) {
    int32_t v = to_int(value);
    if (v < 1 || v > 255) {
      log_message("max_call %d is illegal", static_cast<int>(v));
      return 1;
    }
    cfg->max_call = static_cast<uint8_t>(v);
  } else if (strcmp(key, "waiting_time") == 0) {
    cfg->waiting_time = static_cast<uint32_t>(to_int(value));
  } else if (strcmp(key, "rtp_timeout") == 0) {
    cfg->rtp_timeout = static_cast<uint32_t>(to_int(value));
  } else if (strcmp(key, "sip_port") == 0) {
    cfg->sip_port = htons(static_cast<uint16_t>(to_int(value)));
  } else if (strcmp(key, "pidfile") == 0) {
    copy_text(copies, &cfg->pidfile, value);
  } else if (strcmp(key, "logfile") == 0) {
    copy_text(copies, &cfg->logfile, value);
  } else if (strcmp(key, "up") == 0) {
    copy_text(copies, &cfg->up, value);
  } else if (strcmp(key, "down") == 0) {
    copy_text(copies, &cfg->down, value);
  } else if (strcmp(key, "allow_all") == 0) {
    cfg->allow_all = static_cast<uint8_t>(to_int(value));
  } else if (strcmp(key, "allow_ping") == 0) {
    cfg->allow_ping = static_cast<uint8_t>(to_int(value));
  } else if (strcmp(key, "max_idle_cycle") == 0) {
    cfg->max_idle_cycle = static_cast<uint16_t>(to_int(value));
  } else if (strcmp(key, "ingress_filter") == 0) {
    int32_t v = to_int(value);
    if (v != 0 && v != 1) {
      log_message("ingress_filter %d is illegal", static_cast<int>(v));
      return 1;
    }
    cfg->ingress_filter = static_cast<uint8_t>(v);
  } else if (strcmp(key, "status_file") == 0) {
    copy_text(copies, &cfg->status_file, value);
  } else if (strcmp(key, "status_interval") == 0) {
    // The loop clock holds 4096 s; an hour is the longest interval.
    int32_t v = to_int(value);
    if (v < 1 || v > 3600) {
      log_message("status_interval %d is illegal", static_cast<int>(v));
      return 1;
    }
    cfg->status_interval = static_cast<uint32_t>(v);
  } else if (strcmp(key, "server_timeout") == 0) {
    // Seconds of sending without hearing the server before it is asked
    // whether it is still there; 0 never asks.
    int32_t v = to_int(value);
    if (v < 0 || v > 86400) {
      log_message("server_timeout %d is illegal", static_cast<int>(v));
      return 1;
    }
    cfg->server_timeout = static_cast<uint32_t>(v);
  }
  return 0;
}

}  // namespace

void config_set_defaults(mux_config* cfg) {
  cfg->max_muxing_time = 80000;
  cfg->rtp_timeout = 60000000;
  cfg->port = htons(42000);
  cfg->sip_port = htons(5060);
  cfg->mtu = 1472;
  cfg->max_call = 255;
  cfg->intf = "tun0";
  cfg->pidfile = "/var/run/larkspan.pid";
  cfg->logfile = "/var/log/larkspan.log";
  cfg->status_interval = 10;
}

int load_config_file(mux_config* cfg, const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    log_message("fopen");
    log_message("Can't open config file: %s", path);
    return -1;
  }
  char line[LINE_BUF];
  text_copies copies{};
  int lineno = 0;
  int result = 0;
  while (fgets(line, sizeof line, f) != nullptr) {
    lineno++;
    char* cr = strchr(line, '\r');
    if (cr != nullptr) *cr = '\n';
    char* lf = strchr(line, '\n');
    if (lf == nullptr) {
      log_message("line %d too long in %s", lineno, path);
      result = -1;
      break;
    }
    *lf = '\0';
    if (line[0] == '\0' || line[0] == '#') continue;
    char* eq = strchr(line, '=');
    if (eq == nullptr) {
      log_message("%s:%d: \"=\" is not found in this line: %s", path, lineno, line);
      result = -1;
      break;
    }
    *eq = '\0';
    const char* key = line;
    const char* value = eq + 1;
    if (strcmp(key, "password") != 0 && setenv(key, value, 1) != 0) {
      log_message("setenv");
      result = 1;
      break;
    }
    result = apply_key(cfg, &copies, key, value);
    if (result != 0) break;
  }
  fclose(f);
  if (result != 0) return result;
  if (cfg->server == nullptr) {
    log_message("server not set in config file");
    return -1;
  }
  if (cfg->port == 0) {
    log_message("port not set in config file");
    return -1;
  }
  return 0;
}

int warn_if_password_readable(const mux_config* cfg) {
  if (cfg->password == nullptr || cfg->password[0] == '\0' || cfg->config_path == nullptr) {
    return 0;
  }
  struct stat st {};
  if (stat(cfg->config_path, &st) != 0) return 0;
  if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return 0;
  log_message("warning: config file %s holds the password and is readable by %s (mode %03o)",
              cfg->config_path,
              (st.st_mode & S_IRGRP) && (st.st_mode & S_IROTH) ? "group and others"
              : (st.st_mode & S_IRGRP)                         ? "group"
                                                               : "others",
              static_cast<unsigned>(st.st_mode & 0777));
  return 1;
}
