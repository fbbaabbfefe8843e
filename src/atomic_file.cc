#include "atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace {

constexpr const char* TEMP_SUFFIX = ".tmp";

}  // namespace

int write_file_atomically(const char* path, mode_t mode, file_writer_fn writer, const void* arg) {
  char temp[PATH_MAX];
  int n = snprintf(temp, sizeof temp, "%s%s", path, TEMP_SUFFIX);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof temp) {
    log_message("status path too long: %s", path);
    return -1;
  }
  (void)unlink(temp);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    LOG_ERRNO("can not write the status: %s [%d]", errno);
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
