// The activity counters that keep the broker alive (open connections and
// the time of the last request, output or connection change), and the
// bound on connections still waiting for their greeting.
#include "keywarden.h"

namespace keywarden {

void Activity::touch(int delta) {
  std::lock_guard lock(activityLock);
  activeConnections += delta;
  lastActivity = std::chrono::steady_clock::now();
}

std::optional<double> Activity::idleSeconds() {
  std::lock_guard lock(activityLock);
  if (activeConnections != 0) return std::nullopt;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - lastActivity).count();
}

void WaitingRoom::enter() {
  std::unique_lock guard(lock);
  freed.wait(guard, [this] { return waiting < capacity; });
  ++waiting;
}

void WaitingRoom::leave() {
  {
    std::lock_guard guard(lock);
    --waiting;
  }
  freed.notify_one();
}

}  // namespace keywarden
