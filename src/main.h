// Process entry and command line.
#pragma once

#include "config.h"

// Zeroes the record, parses the options, puts the defaults in place and reads
// the configuration file: load_config_file's result. Prints the usage text
// and exits with status 1 on a usage error.
int parse_command_line(mux_config* cfg, int argc, char** argv);

// Writes the usage text to standard output and exits with status 1.
[[noreturn]] void print_usage();

// The whole run; returns the exit status.
int corvex_main(int argc, char** argv);
