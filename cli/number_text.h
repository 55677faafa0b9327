// Numbers as the library reads them, for the checks the tool makes before it
// asks the library (--numeric values, the sort command's own keys).
#pragma once

#include <string_view>

namespace cli {

// Whether text is a number as the library reads one (a finite decimal or
// hexadecimal number, with single underscores between digits).
bool is_number(std::string_view text);
// A text's value as the library converts it, where the tool can tell exactly:
// Unsure for the forms it leaves to the library (separators, hexadecimal, a
// value beyond the range of a double).
enum class NumberText { NotNumber, Finite, Unsure };
NumberText read_number(std::string_view text, double* value);

}  // namespace cli
