#pragma once
// Long-lived helper threads for tile and band work.
//
// A thread made for one call starts with empty buffer pools and
// thread-local scratch, so every tile it renders takes fresh pages from the
// kernel, which faults and clears them; these threads keep theirs from one
// render to the next.
#include <functional>

namespace coreimage {

// Runs `work` on this thread and, at the same time, on up to `extra` helper
// threads, and returns when every call of it that started has returned.
// Helpers busy elsewhere may join late or not at all: `work` is meant to
// take its items from a shared counter, so that the calls that do run share
// them. The first exception a call throws is rethrown here once the others
// have finished.
void runTogether(unsigned extra, const std::function<void()>& work);

// Hands `task` to a helper thread: it runs when one is free, after the
// tasks handed out before it. False when no helper thread could be started
// (the task is not run). Exceptions it throws are dropped.
bool postToHelper(std::function<void()> task);

}  // namespace coreimage
