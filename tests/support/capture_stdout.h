// Captures what reaches standard output while a piece of test code runs.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

// Runs `fn` with file descriptor 1 pointing at a temporary file and returns
// what reached it. The file is read before stdout is flushed again, so only
// lines that the code under test flushed itself are seen.
template <typename F>
std::string capture_stdout(F fn) {
  fflush(stdout);
  FILE* sink = tmpfile();
  if (sink == nullptr) return "<tmpfile failed>";
  int saved = dup(1);
  dup2(fileno(sink), 1);
  fn();
  std::string out;
  char buf[4096];
  ssize_t n;
  lseek(fileno(sink), 0, SEEK_SET);
  while ((n = read(fileno(sink), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  fclose(sink);
  return out;
}
