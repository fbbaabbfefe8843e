// Log lines: local time in the ctime layout, a blank, the message, a line
// feed, a flush; nothing at all unless the verbose flag is set.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

extern uint8_t verbose;

// Writes the ctime text of the current time without its line feed, then one
// blank. Neither tests `verbose` nor flushes.
void print_time_prefix(FILE* stream);

// With `verbose` set: time prefix, the formatted message, a line feed, flush.
void log_message(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports a failed call with the error text and number of `err` through a
// format holding "%s [%d]"; the caller captures errno before anything else.
// The error text is looked up only when the line is written.
#define LOG_ERRNO(fmt, err)                              \
  do {                                                   \
    int log_err_ = (err);                                \
    if (verbose) log_message(fmt, strerror(log_err_), log_err_); \
  } while (0)
