#include "grid/grid_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

open_result open_grid_input(const char* name, FILE** in) {
  *in = nullptr;
  FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return open_result::failed;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return open_result::is_directory;
  }
  *in = f;
  return open_result::ok;
}

open_result open_grid_output(const char* name, FILE* input, FILE** out) {
  *out = nullptr;
  // Open without truncating first, so the identity check happens before any
  // byte of an existing file is lost.
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return open_result::failed;
  struct stat out_st;
  struct stat in_st;
  if (fstat(fd, &out_st) != 0) {
    ::close(fd);
    return open_result::failed;
  }
  if (input != nullptr && fstat(fileno(input), &in_st) == 0 && in_st.st_dev == out_st.st_dev &&
      in_st.st_ino == out_st.st_ino) {
    ::close(fd);
    return open_result::same_as_input;
  }
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    ::close(fd);
    return open_result::failed;
  }
  *out = f;
  return open_result::ok;
}

void output_extent::mark() {
  if (f == nullptr) return;
  const off_t at = ftello(f);
  if (at > end) end = at;
}

bool output_extent::cut() {
  if (f == nullptr) return true;
  std::fflush(f);
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= end) return true;
  return ftruncate(fileno(f), end) == 0;
}
