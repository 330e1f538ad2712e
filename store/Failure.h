// How failures travel above the platform seam. This is the one statement of it.
//
// - Below the seam the platform answers every operation with a value (an empty text, a
//   FileResult, nullopt) and raises nothing.
// - Inside the store and the checks, a failure of the database is raised as DatabaseError:
//   the client library's or the server's message and number, and whether the server could
//   not serve at all. Code that cannot go on without the answer lets it travel.
// - Where a failure must stop travelling, it becomes a Failure value, through Capture, and
//   is kept in the decision or plan that it ends: a rule that does not apply when its query
//   fails (the duplicate-account rule, the user's session limit) keeps it in its decision;
//   the startup plan keeps the failure that stopped it, beside everything decided before.
// - Functions that report an expected failure without raising answer Result<T>: the value,
//   or the Failure.
// - Any other exception (memory exhausted, a fault in the code) travels to the exported
//   handler, which drops it: the logon process never sees one. A `catch (...)` stands only
//   there, in Capture, and where one record must never stop the work around it; each says
//   why.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace qbnotify {

class DatabaseError : public std::runtime_error {
 public:
  explicit DatabaseError(const std::string& message, unsigned code = 0, bool serverUnavailable = false)
      : std::runtime_error(message), code_(code), serverUnavailable_(serverUnavailable) {}
  // The client library's or server's error number; 0 for errors raised by the library itself.
  unsigned Code() const { return code_; }
  // True when the server could not be reached or stopped answering: a connect that failed,
  // a connection lost or timed out, a connection already given up in this handler, a server
  // that is read-only, shutting down or (a cluster node) not ready. False when the server
  // answered and refused the statement itself: a value that does not fit, a missing table or
  // privilege, a trigger.
  bool ServerUnavailable() const { return serverUnavailable_; }

 private:
  unsigned code_;
  bool serverUnavailable_;
};

// A failure that stopped travelling: what a person reads, and what code decides on.
struct Failure {
  std::string message;
  unsigned code = 0;               // as DatabaseError::Code
  bool serverUnavailable = false;  // as DatabaseError::ServerUnavailable

  static Failure Of(const DatabaseError& error) { return {error.what(), error.Code(), error.ServerUnavailable()}; }
};

// Runs `body`; answers the failure that ended it, or nullopt when it returned.
template <typename Body>
std::optional<Failure> Capture(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const DatabaseError& error) {
    return Failure::Of(error);
  } catch (const std::exception& error) {
    return Failure{error.what()};
  } catch (...) {
    // Whatever ended the body ends it the same way; what it was is not known here.
    return Failure{"unknown failure"};
  }
}

// A value, or the expected failure that stands in its place.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}           // NOLINT: a value converts
  Result(Failure failure) : state_(std::move(failure)) {}  // NOLINT: so does a failure

  bool Ok() const { return state_.index() == 0; }
  explicit operator bool() const { return Ok(); }
  const T& Value() const& { return std::get<0>(state_); }
  T&& Value() && { return std::get<0>(std::move(state_)); }
  const Failure& Error() const { return std::get<1>(state_); }
  // The value, or `fallback` after a failure.
  T ValueOr(T fallback) const { return Ok() ? Value() : std::move(fallback); }

 private:
  std::variant<T, Failure> state_;
};

}  // namespace qbnotify
