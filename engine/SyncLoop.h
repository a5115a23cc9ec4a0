#pragma once

#include <cstdint>
#include <string>

// The difference as the locale writes a whole number with grouping ("1,234,567").
std::string DiffText(std::int32_t d);

// Measures and corrects the clock until StopEvent is signalled.
void SyncLoop();
