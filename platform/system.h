#pragma once
// Local time, the current directory, folders and the replacing of a file.
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
    // Asks for a 1 ms system timer resolution (true) or gives it back (false): the default of
    // about 15.6 ms on Windows would stretch every 10 ms tick by half.
    virtual void FineTimer(bool on) = 0;
    // Puts the file from in place of the file to, in one step where the system can; false
    // when it could not (to then stays as it was).
    virtual bool ReplaceFile(const char* from, const char* to) = 0;
};

}  // namespace platform
