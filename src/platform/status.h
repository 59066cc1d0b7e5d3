// The one vocabulary of results: what came of an operation, and the message that says why.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace orvaldi::platform {

// What an operation, a scan or a copy came to. A caller decides on this
// value alone; the message is for the operator and is never searched.
enum class Status : uint8_t {
  kOk,         // everything asked for was done
  kPartial,    // done, but some of it could not be read or written; the result lists what
  kFailed,     // nothing usable came of it: the source or target could not be opened, read or written
  kCancelled,  // the operator stopped it; what was done so far is kept
  kRefused,    // not started: a check said no (the target is the source, too little space, a bad option)
};

// A status and its message. The message names the structure, the position
// and the value where there is one ("FAT copy 2 at sector 38: unreadable"),
// and is empty only for kOk.
struct Outcome {
  Status status = Status::kOk;
  std::string message;

  static Outcome Ok() { return {}; }
  static Outcome Partial(std::string text) { return {Status::kPartial, std::move(text)}; }
  static Outcome Failed(std::string text) { return {Status::kFailed, std::move(text)}; }
  static Outcome Cancelled(std::string text = {}) { return {Status::kCancelled, std::move(text)}; }
  static Outcome Refused(std::string text) { return {Status::kRefused, std::move(text)}; }

  bool ok() const { return status == Status::kOk; }
  // Something usable came of it (all of it, or part of it).
  bool usable() const { return status == Status::kOk || status == Status::kPartial; }
};

// The worse of two statuses, for results made of several steps: a failure
// outweighs a partial result, which outweighs success. Cancelled and refused
// end the operation and so outweigh everything.
constexpr Status Worse(Status a, Status b) {
  auto rank = [](Status s) {
    switch (s) {
      case Status::kOk:
        return 0;
      case Status::kPartial:
        return 1;
      case Status::kFailed:
        return 2;
      case Status::kCancelled:
        return 3;
      case Status::kRefused:
        return 4;
    }
    return 4;
  };
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace orvaldi::platform
