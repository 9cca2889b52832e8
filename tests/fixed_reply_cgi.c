// The least a CGI program can do for a request: print a fixed reply. The
// web path's benchmark serves it behind the same nginx and fcgiwrap as the
// gateway, so that the pages per second of the two tell what the gateway and
// the daemon add to what the web server costs anyway.
//
// The reply is the file "fixed-reply" in the folder ORV_ROOT names (the one
// variable the web server's configuration passes on), header line included,
// written to standard output as it is.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(void) {
  const char* root = getenv("ORV_ROOT");
  if (root == NULL) return 1;
  char path[4096];
  if (snprintf(path, sizeof(path), "%s/fixed-reply", root) >=
      (int)sizeof(path)) {
    return 1;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  static char buffer[1 << 20];
  ssize_t length = read(fd, buffer, sizeof(buffer));
  close(fd);
  for (ssize_t done = 0; done < length;) {
    ssize_t written = write(STDOUT_FILENO, buffer + done, length - done);
    if (written <= 0) return 1;
    done += written;
  }
  return 0;
}
