// Runs with a session bus address that leads nowhere: every call must report
// the store's failure with its code and text, never "not found".
#include "keychain.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(KeychainWithoutStore, everyCallFailsWithTheStoresOwnCode) {
  // Before the first call: the connection to the bus is made on first use.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/keychain-test-bus", 1);
  const keychain::Lookup read = keychain::lookup("org.example.keychain-test", "a");
  EXPECT_EQ(read.outcome, keychain::Outcome::failure);
  EXPECT_FALSE(read.message.empty());

  const keychain::Status written = keychain::store("org.example.keychain-test", "a", "l", "v");
  EXPECT_EQ(written.outcome, keychain::Outcome::failure);
  EXPECT_FALSE(written.message.empty());

  const keychain::Status removed = keychain::remove("org.example.keychain-test", "a");
  EXPECT_EQ(removed.outcome, keychain::Outcome::failure);
  EXPECT_FALSE(removed.message.empty());
}
