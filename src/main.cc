#include "main.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon.h"
#include "log.h"
#include "loop.h"
#include "status.h"
#include "statusctl.h"
#include "tunnel.h"

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
  signal(SIGINT, stop_signal_handler);
  signal(SIGTERM, stop_signal_handler);
  signal(SIGUSR1, status_signal_handler);
  // Nothing here reads standard input. Make it /dev/null (a daemon has closed
  // it): the scripts then get /dev/null as theirs, and no descriptor opened
  // below (the control pipe's read end) can take number 0 and be inherited.
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd > STDIN_FILENO) {
    dup2(null_fd, STDIN_FILENO);
    close(null_fd);
  }
  int rc = setup_context(&g_ctx, &cfg) == -1 ? 1 : run_event_loop(&g_ctx);
  // A daemon leaves no pid file behind (a foreground run has none).
  remove_own_pid_file(&cfg);
  return rc;
}

int main(int argc, char** argv) { return corvex_main(argc, argv); }
