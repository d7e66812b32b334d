#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrova::replay {

// Lines of comma-separated numbers, as LOBSTER files hold them, read into
// columns of int64 (and the first column also as a decimal, for times).
struct NumberRows {
  std::vector<std::int64_t> values;  // row-major, `keep` per row
  std::vector<double> first;         // column 0 read as a decimal, when asked
  std::size_t rows = 0;
  std::size_t consumed = 0;   // bytes of the whole lines read
  std::int64_t bad_row = -1;  // the first line that is not `columns` numbers, counted from 0
};

// Reads the whole lines at the front of `text`; with `final`, a last line
// without its newline too. A line ends in LF or CRLF; numbers may carry spaces
// around them and a sign. Stops at the first line that is not `columns`
// numbers: whole ones, except the first column when `decimal_first`. Keeps
// the first `keep` columns of each row.
NumberRows read_number_rows(std::string_view text, std::size_t columns, std::size_t keep,
                            bool decimal_first, bool final);

}  // namespace kestrova::replay
