#pragma once
// Placeholder: filled in by the work that builds this area of the emulated world.
namespace emu {}
