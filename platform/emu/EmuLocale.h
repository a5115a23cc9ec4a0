// The emulated locale's number format: what plat::FormatGroupedNumber writes.
#pragma once

#include <string>

namespace emu {

// The locale's separator between groups of three digits, in UTF-8; "," unless a test says
// otherwise ("" writes the digits ungrouped). Negative numbers always lead with "-". Like the
// system, the number text is ANSI: code page 1252, where a character it lacks becomes "?".
void SetThousandsSeparator(const std::string& separator);
std::string ThousandsSeparator();

} // namespace emu
