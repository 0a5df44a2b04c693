// Opening the input and output grid files safely.
#pragma once

#include <cstdint>
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

// Opens a file for binary writing, creating it when there is none, unless it
// is the same file as `input` (same path, hard link or symbolic link): that
// file is left untouched so the input is never truncated. An existing file
// is not emptied: it is written over in place, which spares freeing and
// allocating its pages again, and an output_extent cuts off whatever it
// held beyond the bytes written.
open_result open_grid_output(const char* name, FILE* input, FILE** out);

// Ends a regular output file after the last byte this run wrote, when it
// goes out of scope or when cut() is called: what an older file held
// beyond it is gone, as if the file had been emptied when opened. Does
// nothing once the stream is null, or for pipes and devices.
struct output_extent {
  FILE*& f;
  int64_t end = 0;  // bytes from the start written so far

  // Takes the stream's position as written to, if it lies further.
  void mark();
  // Flushes the stream and cuts the file at `end`. Returns false when the
  // file holds more than `end` bytes and could not be cut.
  bool cut();
  ~output_extent() { cut(); }
};
