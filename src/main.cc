#include "main.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control.h"
#include "daemon.h"
#include "log.h"
#include "loop.h"
#include "netio.h"
#include "scripts.h"
#include "session.h"
#include "status.h"
#include "statusctl.h"

void print_usage() {
  fputs(
      "usage: corvex -c config_file [-s start/stop/restart] [-d]\n"
      "\n"
      "  -h, --help            show this help message and exit\n"
      "  -s start/stop/restart control multiplexer process. if omitted, will run\n"
      "                        in foreground\n"
      "  -c config_file        path to config file\n"
      "  -v                    verbose logging\n"
      "\n"
      "see corvex(8) for -s status, the configuration keys and signals\n",
      stdout);
  fflush(stdout);
  exit(1);
}

int parse_command_line(mux_config* cfg, int argc, char** argv) {
  memset(cfg, 0, sizeof *cfg);
  int opt;
  // The leading "+" keeps glibc from permuting the arguments: parsing stops at
  // the first operand, as POSIX getopt does, and everything after it is
  // ignored.
  while ((opt = getopt(argc, argv, "+hs:c:q:v")) != -1) {
    switch (opt) {
      case 'c':
        free(const_cast<char*>(cfg->config_path));  // a later -c replaces it
        cfg->config_path = strdup(optarg);
        break;
      case 's':
        if (strcmp(optarg, "start") == 0) {
          cfg->command = CMD_START;
        } else if (strcmp(optarg, "stop") == 0) {
          cfg->command = CMD_STOP;
        } else if (strcmp(optarg, "restart") == 0) {
          cfg->command = CMD_RESTART;
        } else if (strcmp(optarg, "status") == 0) {
          cfg->command = CMD_STATUS;
        } else {
          print_usage();
        }
        break;
      case 'v':
        verbose = 1;
        break;
      default:  // -h, -q, an unknown option or a missing argument
        print_usage();
    }
  }
  if (cfg->config_path == nullptr) print_usage();
  config_set_defaults(cfg);
  return load_config_file(cfg, cfg->config_path);
}

namespace {

// The course of a run: the status file's first write, the registration, the
// up script (also after a stop during the registration), the run, then the
// down script once the held frames are out, and the endpoints closed.
void run_session(mux_ctx* s) {
  const mux_config* cfg = s->config;
  status_start(s, io_monotonic_us());
  const loop_end registered = run_loop(s, PHASE_REGISTERING);
  (void)run_up_script(cfg);
  if (registered == LOOP_AUTHORIZED) (void)run_loop(s, PHASE_RUNNING);
  (void)run_down_script(cfg);
  session_close(s);
}

}  // namespace

int corvex_main(int argc, char** argv) {
  static mux_config cfg;
  if (parse_command_line(&cfg, argc, argv) != 0) {
    log_message("error when parsing args");
    return 1;
  }
  warn_if_password_readable(&cfg);
  switch (cfg.command) {
    case CMD_START:
      if (start_daemon(&cfg) != 0) {
        log_message("can not start daemon");
        return 1;
      }
      break;
    case CMD_STOP:
      if (stop_daemon(&cfg) != 0) {
        log_message("can not stop daemon");
        return 1;
      }
      return 0;
    case CMD_STATUS:
      return status_command(&cfg);
    case CMD_RESTART:
      if (stop_daemon(&cfg) != 0) {
        log_message("can not stop daemon");
        return 1;
      }
      if (start_daemon(&cfg) != 0) {
        log_message("can not start daemon");
        return 1;
      }
      break;
    default:
      break;
  }
  // Where the status file goes must be safe before anything is written there.
  if (check_status_file_place(&cfg) != 0) return 1;
  signal(SIGINT, control_stop_handler);
  signal(SIGTERM, control_stop_handler);
  signal(SIGUSR1, control_status_handler);
  // Nothing here reads standard input. Make it /dev/null (a daemon has closed
  // it): the scripts then get /dev/null as theirs, and no descriptor opened
  // below (the control pipe's read end) can take number 0 and be inherited.
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd > STDIN_FILENO) {
    dup2(null_fd, STDIN_FILENO);
    close(null_fd);
  }
  // The control pipe comes first, so both its ends are below the other
  // descriptors.
  static mux_ctx session;
  if (control_open() != 0 || session_open(&session, &cfg) != 0) {
    remove_own_pid_file(&cfg);
    return 1;
  }
  run_session(&session);
  // A daemon leaves no pid file behind (a foreground run has none).
  remove_own_pid_file(&cfg);
  // The run always ends this way, stopped or failed.
  return 255;
}

int main(int argc, char** argv) { return corvex_main(argc, argv); }
