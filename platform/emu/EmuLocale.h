// The emulated locale's number format: what plat::FormatGroupedNumber writes.
#pragma once

#include <string>

namespace emu {

// The text placed between groups of three digits; "," unless a test says otherwise
// ("" writes the digits ungrouped). Negative numbers always lead with "-".
void SetThousandsSeparator(const std::string& separator);
std::string ThousandsSeparator();

} // namespace emu
