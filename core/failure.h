#pragma once
// The one error value of the core: a single user-facing English sentence,
// shown to the user unchanged.
#include <stdexcept>
#include <string>

namespace quorvel {

class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
  std::string message() const { return what(); }
};

// Thrown when an operation stops because its caller cancelled it.
class Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("Cancelled") {}
};

}  // namespace quorvel
