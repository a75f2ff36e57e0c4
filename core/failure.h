#pragma once
// The one error value of the core: a single user-facing English sentence,
// shown to the user unchanged.
#include <stdexcept>
#include <string>

namespace quorvel {

class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
  const std::string message() const { return what(); }
};

}  // namespace quorvel
