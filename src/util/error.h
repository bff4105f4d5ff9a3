#pragma once
// Internal errors: faults that ordinary input cannot cause (a broken invariant, an index out
// of range, a failed test command). They unwind as InternalError, which remembers where it was
// raised; the command line turns one into exit code 101 after a report on stderr, a studio
// thread into an "internal error" reply. Bad input never takes this road: it returns
// std::expected with a message.
#include <source_location>
#include <stdexcept>
#include <string>

namespace tsl {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message, std::source_location at = std::source_location::current())
      : std::runtime_error(message), where(at) {}
  std::source_location where;
};

[[noreturn]] inline void internal_error(const std::string& message,
                                        std::source_location where = std::source_location::current()) {
  throw InternalError(message, where);
}

}  // namespace tsl
