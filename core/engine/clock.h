// Clock: where the engine reads "now" for dates it keeps (failure times, the reload window,
// cache ages). Tests substitute a clock they move by hand, so nothing sleeps through a pause.
// Waiting for a job uses the steady clock and real time regardless.
#pragma once

#include <chrono>
#include <memory>

namespace qy {

using Date = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Date now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace qy
