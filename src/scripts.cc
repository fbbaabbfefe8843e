#include "scripts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

int run_script(const mux_config* cfg, script_kind which) {
  const char* path = (which == SCRIPT_UP) ? cfg->up : cfg->down;
  if (path == nullptr || path[0] == '\0') {
    log_message("warning: script not set");
    return 0;
  }
  // "sh " and the configured value as it stands: the shell splits it, so
  // words after the path become the script's arguments.
  size_t size = strlen(path) + 8;
  char* command = static_cast<char*>(malloc(size));
  if (command == nullptr) {
    log_message("script %s returned non-zero return code: %d", path, -1);
    return -1;
  }
  snprintf(command, size, "sh %s", path);
  int status = system(command);
  free(command);
  if (status != 0) {
    log_message("script %s returned non-zero return code: %d", path, status);
    return -1;
  }
  return 0;
}

int run_up_script(const mux_config* cfg) { return run_script(cfg, SCRIPT_UP); }

int run_down_script(const mux_config* cfg) { return run_script(cfg, SCRIPT_DOWN); }
