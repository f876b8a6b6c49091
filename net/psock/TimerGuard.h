// Arms the time-out timer for the length of an operation and stops it however the operation ends.
#pragma once

#include "net/psock/Powersock.h"

namespace Psock {

class TimerGuard {
  public:
    explicit TimerGuard(TPowersock& s) : s_(s) { s_.TimerOn(); }
    ~TimerGuard() {
        try {
            s_.TimerOff();
        } catch (...) {
        }
    }
    TimerGuard(const TimerGuard&) = delete;
    TimerGuard& operator=(const TimerGuard&) = delete;

  private:
    TPowersock& s_;
};

}  // namespace Psock
