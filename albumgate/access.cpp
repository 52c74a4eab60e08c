// The gate every command passes: read-and-write access to the photo library.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "commands.h"

namespace albumgate {

photos::AuthorizationStatus authorizedStatus() {
  using photos::AuthorizationStatus;
  const AuthorizationStatus current = photos::authorizationStatus(photos::AccessLevel::readWrite);
  if (current != AuthorizationStatus::notDetermined) return current;

  // The answer comes on another thread; the cell outlives this call in case
  // the handler runs late.
  constexpr int noAnswer = -1;
  auto answer = std::make_shared<std::atomic<int>>(noAnswer);
  photos::requestAuthorization(photos::AccessLevel::readWrite,
                               [answer](AuthorizationStatus status) { answer->store(static_cast<int>(status)); });
  // No overall limit: the user may take as long as they like to answer.
  while (answer->load() == noAnswer) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return static_cast<AuthorizationStatus>(answer->load());
}

void requirePhotoAccess() {
  const photos::AuthorizationStatus status = authorizedStatus();
  if (status == photos::AuthorizationStatus::authorized || status == photos::AuthorizationStatus::limited) return;
  fail("PhotoKit access denied. Allow Orvan Library to read and add photos in System Settings > Privacy & "
       "Security > Photos.");
}

}  // namespace albumgate
