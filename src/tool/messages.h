// Every text the tool prints, in its exact words. Scripts parse these, so
// they never change; placeholders are filled printf-style.
#pragma once

namespace msg {
inline constexpr const char* BANNER = "wavgrid v1.0 by Tesmark\n";
inline constexpr const char* DESCRIPTION = "filtering grid data by a moving window\n";
inline constexpr const char* USAGE =
    "usage: wavgrid <in-Grid> <out-Grid> <windowsize>\n<windowsize: 3, 5, 7 ... as a single value\n";
inline constexpr const char* CANNOT_OPEN_INPUT = "cannot find or open input file %s \r\n";
inline constexpr const char* CANNOT_OPEN_OUTPUT = "cannot find or open output file %s \r\n";
inline constexpr const char* INPUT_IS_DIRECTORY = "input file %s is a directory\r\n";
inline constexpr const char* OUTPUT_IS_INPUT =
    "output file %s is the input file and would be overwritten\r\n";
inline constexpr const char* PROMPT = "please enter the name: ";
inline constexpr const char* RETRY = "\r\n";
inline constexpr const char* BAD_WINDOW =
    "The windowsize has to be an odd number greater than 1 (minimum 3)\n";
inline constexpr const char* HEADER_READ = "error reading from %s\n";
inline constexpr const char* HEADER_WRITE = "error writing in %s i=%d\n";
inline constexpr const char* BAD_DIMENSION =
    "invalid grid header in %s: the number of %s is %g, not a count from 0 to 2147483647\n";
inline constexpr const char* NO_MEMORY =
    "not enough memory for a grid of %d rows and %d columns from %s\n";
inline constexpr const char* VALUES_READ = "Fehler beim Lesen der Werte aus %s\n";
inline constexpr const char* DOT = ".";
inline constexpr const char* END_OF_DOTS = "\n";
inline constexpr const char* STATS_WRITE = "Fehler beim Schreiben in %s i=%d\n";
inline constexpr const char* VALUES_WRITE = "Fehler beim Schreiben in %s\n";
}  // namespace msg

// Exit statuses.
enum exit_status : int {
  STATUS_OK = 0,
  STATUS_USAGE = 1,       // too few arguments, or an empty name at a prompt
  STATUS_READ = 2,        // the cell values were not read whole
  STATUS_WRITE = 3,        // the cell values were not written whole
  STATUS_WINDOW = 4,       // the window size is not odd and at least 3
  STATUS_BAD_GRID = 5,    // the header's dimensions are unusable, or no memory
};
