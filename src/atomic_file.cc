#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_safety.h"
#include "log.h"

namespace {

// mkstemp's template: the target's name, a dot and six characters it
// replaces with random ones.
constexpr const char* TEMP_SUFFIX = ".XXXXXX";

}  // namespace

int write_file_atomically(const char* path, mode_t mode, file_writer_fn writer, const void* arg) {
  // Only into a directory that nobody else can write: elsewhere another user
  // could put files or directories in the way, or a file of theirs in its
  // place (file_safety.h). Judged at every write; it costs a few stat calls.
  if (check_file_directory(path, geteuid()) != 0) {
    log_message("can not write the status to %s", path);
    return -1;
  }
  char temp[PATH_MAX];
  int n = snprintf(temp, sizeof temp, "%s%s", path, TEMP_SUFFIX);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof temp) {
    log_message("status path too long: %s", path);
    return -1;
  }
  // A new file of a name nobody can foresee, created exclusively, owner-only
  // until it gets its mode: the umask does not narrow that mode (readers such
  // as an exporter may need it).
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) {
    LOG_ERRNO("can not write the status: %s [%d]", errno);
    return -1;
  }
  if (fchmod(fd, mode) != 0) {
    close(fd);
    (void)unlink(temp);
    log_message("can not write the status to %s", path);
    return -1;
  }
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) {
    close(fd);
    (void)unlink(temp);
    return -1;
  }
  int rc = writer(f, arg);
  if (fclose(f) != 0) rc = -1;
  if (rc == 0 && rename(temp, path) != 0) rc = -1;
  if (rc != 0) {
    log_message("can not write the status to %s", path);
    (void)unlink(temp);
  }
  return rc;
}
