#pragma once
// The program's version, set once in CMakeLists.txt: "V0.34", or "V0.34+g1a2b3c4" when
// built from a commit other than the release's tag.

const char* AppVersion();
