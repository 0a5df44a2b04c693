// Opening the input and output grid files safely.
#pragma once

#include <cstdio>

// Closes a stream still open when it goes out of scope; a caller that must
// see the result of fclose (an output's last write) closes it itself and
// sets f to null.
struct file_closer {
  FILE* f = nullptr;
  ~file_closer() {
    if (f != nullptr) std::fclose(f);
  }
};

enum class open_result { ok, failed, is_directory, same_as_input };

// Opens a file for binary reading; a directory does not count as opened.
open_result open_grid_input(const char* name, FILE** in);

// Opens a file for binary writing, creating or emptying it, unless it is the
// same file as `input` (same path, hard link or symbolic link): that file is
// left untouched so the input is never truncated.
open_result open_grid_output(const char* name, FILE* input, FILE** out);
