#pragma once
// Internal errors: faults that ordinary input cannot cause (a broken invariant, an index out
// of range, a failed test command). They unwind as InternalError; the command line turns
// one into exit code 101 after a report on stderr, a studio thread into an "internal error"
// reply. Bad input never takes this road: it returns std::expected with a message.
#include <stdexcept>
#include <string>

namespace tsl {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void internal_error(const std::string& message) { throw InternalError(message); }

}  // namespace tsl
