// Opening the input and output grid files safely.
#pragma once

#include <cstdio>

enum class open_result { ok, failed, is_directory, same_as_input };

// Opens a file for binary reading; a directory does not count as opened.
open_result open_grid_input(const char* name, FILE** in);

// Opens a file for binary writing, creating or emptying it, unless it is the
// same file as `input` (same path, hard link or symbolic link): that file is
// left untouched so the input is never truncated.
open_result open_grid_output(const char* name, FILE* input, FILE** out);
