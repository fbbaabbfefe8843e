// Files that readers must only ever see whole: written beside the target and
// renamed over it.
#pragma once

#include <sys/types.h>

#include <cstdio>

// Fills the stream; 0 written, -1 an error.
using file_writer_fn = int (*)(FILE* f, const void* arg);

// Writes `path` through a fresh file beside it (mkstemp: a name nobody can
// foresee, created exclusively) that is renamed over it when complete;
// `mode` is the new file's, whatever the umask. A directory that another
// user could write (file_safety.h) is refused. 0 or -1 (logged).
int write_file_atomically(const char* path, mode_t mode, file_writer_fn writer, const void* arg);
