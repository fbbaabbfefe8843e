#include "log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint8_t verbose = 0;

void print_time_prefix(FILE* stream) {
  time_t now = time(nullptr);
  char text[32];
  // ctime_r writes the same 24 characters and line feed as ctime.
  if (ctime_r(&now, text) == nullptr) return;
  size_t len = strlen(text);
  if (len > 0) text[len - 1] = '\0';
  fputs(text, stream);
  fputc(' ', stream);
}

void log_message(const char* fmt, ...) {
  if (!verbose) return;
  print_time_prefix(stdout);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stdout, fmt, ap);
  va_end(ap);
  fputc('\n', stdout);
  fflush(stdout);
}
