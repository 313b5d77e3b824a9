#pragma once
// Curvilinear grid files.
//
// Layout: comment lines ("*" in column 1), a line holding "Coordinate
// System", the dimensions mmax and nmax (free format), one ignored line, then
// the x block and the y block.  A block is nmax rows; a row is two label
// words (a keyword and the row number, discarded) and the mmax coordinates
// of that row.
//
// Blocks are read free format first: each row starts on a new line, may run
// over several lines, and whatever follows its last value on its last line is
// ignored.  When that fails on a malformed item, the whole block is read again
// from its first line in the fixed layout: columns 1..10 skipped, then up to
// five fields of 12 columns per line (11-22, 23-34, 35-46, 47-58, 59-70), a
// row filling ceil(mmax/5) lines.
//
// Free-format items (list-directed input) are separated by blanks, tabs,
// commas or line ends.  Numbers are spelled as parse_real accepts them
// (readers/cardline.hpp).  In addition:
//   r*c   r repetitions of the value c (r a positive whole number)
//   r*    r null values
//   ,,    an empty item between two commas (or a comma that opens a read) is
//         a null value: the item keeps what it held
//   /     ends the read: the remaining items keep what they held
// A label word is taken as its raw token (no quotes, no repeat counts).
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "core/limits.hpp"
#include "readers/grid2d.hpp"

namespace vadrel {

// reakovhdr statuses besides 0 and the positive status of a malformed number
// (STATUS_BAD_NUMBER).
inline constexpr int KOV_STATUS_END = -1;                // end of file
inline constexpr int KOV_STATUS_NO_COORDINATE_SYSTEM = -9;
inline constexpr int KOV_STATUS_IO_ERROR = 5000;         // the stream itself failed

// Reads the header up to and including the ignored line after the
// dimensions.  Returns 0, KOV_STATUS_END when the file ends first,
// KOV_STATUS_NO_COORDINATE_SYSTEM when the first line that is not a comment
// lacks "Coordinate System" (only its first 132 columns are searched), or a
// positive status when a dimension is not a whole number.  The dimensions
// are returned as read, not checked: see kov_dimension_problem.
int reakovhdr(std::istream& in, int& mmax, int& nmax);

// Empty when arrays of (mmax+1) by (nmax+1) doubles can be set up (both
// dimensions at least 1 and at most kMaxGridNodes nodes), otherwise a
// one-line reason for the caller's stop message.
std::string kov_dimension_problem(std::int64_t mmax, std::int64_t nmax, std::int64_t limit = kMaxGridNodes);

// Reads the x block into x and the y block into y, both (mp, np) with
// mp = mmax+1, np = nmax+1.  Stops the run (throws Stop) on a block it
// cannot read, after writing the reason on the console; `file` names the
// grid file in that message.
void reakov(std::istream& in, Grid2D& x, Grid2D& y, int mp, int np, std::ostream& console,
            std::string_view file = {});

// Reads one block into a(1..mp-1, 1..np-1).  Stops the run on end of file
// (" *** ERROR *** premature EOF kov encountered") and on a block that
// neither layout reads (" *** ERROR *** while reading record kov"), each
// after a line naming the file, the block (`block`: "x" or "y") and the row.
void ecrrea(Grid2D& a, std::istream& in, int mp, int np, std::ostream& console, std::string_view file = {},
            std::string_view block = "x");

// One free-format read: starts on a new line, discards `words` label words,
// then fills `values` (a null item leaves its value untouched).  The rest of
// the line holding the last item is dropped.  Returns 0, KOV_STATUS_END when
// the file ends before every item is read, STATUS_BAD_NUMBER for a malformed
// number, or KOV_STATUS_IO_ERROR.
int read_free_row(std::istream& in, int words, std::span<double> values);

}  // namespace vadrel
