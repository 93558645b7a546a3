#pragma once
// Local time, the current directory and folders.
#include <cstddef>
#include <string>

#include "platform/types.h"

namespace platform {

class System {
  public:
    virtual ~System() = default;
    virtual LocalTime Now() = 0;
    // False when the current directory cannot be read.
    virtual bool CurrentDirectory(std::string& out) = 0;
    // False when the folder could not be created (often: it exists already).
    virtual bool CreateFolder(const char* path) = 0;
};

}  // namespace platform
