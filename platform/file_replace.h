#pragma once
// Files that replace their target only when complete: written under a temporary name beside
// it, then put in its place.
#include <cstddef>

// A name beside target that no file has: target + ".tmp", or ".tmp1" to ".tmp9" when that is
// taken (a file of that name may be somebody's). False, temp empty, when none is free or the
// name does not fit into size characters.
bool TempPathBeside(const char* target, char* temp, std::size_t size);
