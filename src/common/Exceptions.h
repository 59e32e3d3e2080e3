// The base of every exception the server raises, and the helper that writes
// the one log line at the edge where an exception is caught.
#pragma once

#include <stdexcept>
#include <string>

namespace vx {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Readable class name of an exception object ("EFIFOList", "std::bad_alloc").
std::string ExceptionClassName(const std::exception& e);

}  // namespace vx
