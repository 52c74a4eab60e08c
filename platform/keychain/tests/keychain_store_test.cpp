// Runs against a real Secret Service (tests/with-secret-service.sh starts a
// fresh gnome-keyring-daemon for each test).
#include "keychain.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* service = "org.example.keychain-test";

// The store's items for this service and account, found without going
// through the code under test; the caller frees the list.
GList* itemsOf(const std::string& account) {
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service));
  g_hash_table_insert(attributes, const_cast<char*>("account"),
                      const_cast<char*>(account.c_str()));
  GError* error = nullptr;
  GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL,
                                            nullptr, &error);
  g_hash_table_unref(attributes);
  if (error) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
  }
  return items;
}

int itemCount(const std::string& account) {
  GList* items = itemsOf(account);
  const int count = static_cast<int>(g_list_length(items));
  g_list_free_full(items, g_object_unref);
  return count;
}

std::string labelOf(const std::string& account) {
  GList* items = itemsOf(account);
  std::string label;
  if (items) {
    gchar* text = secret_item_get_label(SECRET_ITEM(items->data));
    label = text ? text : "";
    g_free(text);
  }
  g_list_free_full(items, g_object_unref);
  return label;
}

TEST(KeychainStore, storedValueIsReadBackAndAnUnknownAccountIsNotFound) {
  EXPECT_EQ(keychain::lookup(service, "never-stored").outcome, keychain::Outcome::notFound);

  ASSERT_EQ(keychain::store(service, "alpha", "Label alpha", "zażółć gęślą jaźń").outcome,
            keychain::Outcome::success);
  const keychain::Lookup found = keychain::lookup(service, "alpha");
  ASSERT_EQ(found.outcome, keychain::Outcome::success) << found.message;
  EXPECT_EQ(found.value, "zażółć gęślą jaźń");
  EXPECT_EQ(labelOf("alpha"), "Label alpha");

  // Same account under another service is another item.
  EXPECT_EQ(keychain::lookup("org.example.other", "alpha").outcome, keychain::Outcome::notFound);
}

TEST(KeychainStore, storingAgainUpdatesTheOneItem) {
  ASSERT_EQ(keychain::store(service, "beta", "Label beta", "first").outcome,
            keychain::Outcome::success);
  ASSERT_EQ(keychain::store(service, "beta", "Label beta", "second").outcome,
            keychain::Outcome::success);
  EXPECT_EQ(itemCount("beta"), 1);
  EXPECT_EQ(keychain::lookup(service, "beta").value, "second");
}

// Items of other Secret Service clients with our two attributes: under
// another schema, and with an attribute more. Storing updates them all, so
// a lookup reads the new value whichever item it meets.
TEST(KeychainStore, storingUpdatesItemsOfOtherClientsWithTheSameAttributes) {
  const SecretSchema other = {"org.example.Other", SECRET_SCHEMA_NONE,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"note", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  GError* error = nullptr;
  ASSERT_TRUE(secret_password_store_sync(&other, SECRET_COLLECTION_DEFAULT, "Foreign", "old", nullptr, &error,
                                         "service", service, "account", "delta", nullptr));
  ASSERT_TRUE(secret_password_store_sync(&other, SECRET_COLLECTION_DEFAULT, "Foreign noted", "old", nullptr,
                                         &error, "service", service, "account", "delta", "note", "x", nullptr));
  ASSERT_EQ(error, nullptr);
  ASSERT_EQ(keychain::lookup(service, "delta").value, "old");

  for (const char* value : {"new", "newer"}) {
    ASSERT_EQ(keychain::store(service, "delta", "Label delta", value).outcome, keychain::Outcome::success);
    EXPECT_EQ(keychain::lookup(service, "delta").value, value);
    EXPECT_EQ(itemCount("delta"), 2);
  }
  // The other client's items keep their labels.
  GList* items = itemsOf("delta");
  for (GList* entry = items; entry; entry = entry->next) {
    gchar* label = secret_item_get_label(SECRET_ITEM(entry->data));
    EXPECT_TRUE(std::string(label).starts_with("Foreign")) << label;
    g_free(label);
  }
  g_list_free_full(items, g_object_unref);
}

TEST(KeychainStore, removeTellsRemovedFromNothingToRemove) {
  ASSERT_EQ(keychain::store(service, "gamma", "Label gamma", "x").outcome,
            keychain::Outcome::success);
  EXPECT_EQ(keychain::remove(service, "gamma").outcome, keychain::Outcome::success);
  EXPECT_EQ(keychain::lookup(service, "gamma").outcome, keychain::Outcome::notFound);
  EXPECT_EQ(keychain::remove(service, "gamma").outcome, keychain::Outcome::notFound);
  EXPECT_EQ(itemCount("gamma"), 0);
}

TEST(KeychainStore, anyBytesAndLargeValuesRoundTripExactly) {
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
  std::string large(65537, 'q');
  for (std::size_t i = 0; i < large.size(); i += 97) large[i] = static_cast<char>(i % 251);

  for (const std::string& value : {std::string(), everyByte, large}) {
    ASSERT_EQ(keychain::store(service, "bytes", "Label bytes", value).outcome,
              keychain::Outcome::success);
    const keychain::Lookup found = keychain::lookup(service, "bytes");
    ASSERT_EQ(found.outcome, keychain::Outcome::success);
    EXPECT_EQ(found.value.size(), value.size());
    EXPECT_TRUE(found.value == value);
  }
}

TEST(KeychainStore, attributesThatAreNotUtf8FailWithoutReachingTheStore) {
  const keychain::Lookup bad = keychain::lookup(service, std::string("a\xff", 2));
  EXPECT_EQ(bad.outcome, keychain::Outcome::failure);
  EXPECT_NE(bad.code, 0);
  EXPECT_EQ(keychain::store(service, std::string("a\0b", 3), "l", "v").outcome,
            keychain::Outcome::failure);
  EXPECT_EQ(keychain::remove(std::string("\xc3", 1), "a").outcome, keychain::Outcome::failure);
}

TEST(KeychainStore, manyThreadsAtOnceEachSeeTheirOwnItems) {
  constexpr int threadCount = 8;
  constexpr int rounds = 8;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([t, &faults] {
      const std::string account = "thread-" + std::to_string(t);
      for (int r = 0; r < rounds; ++r) {
        const std::string value = account + "/" + std::to_string(r);
        if (keychain::store(service, account, "Label " + account, value).outcome !=
            keychain::Outcome::success)
          ++faults;
        const keychain::Lookup found = keychain::lookup(service, account);
        if (found.outcome != keychain::Outcome::success || found.value != value) ++faults;
        // A shared account read by everyone while others write it.
        keychain::store(service, "shared", "Label shared", value);
        if (keychain::lookup(service, "shared").outcome != keychain::Outcome::success) ++faults;
      }
      if (keychain::remove(service, account).outcome != keychain::Outcome::success) ++faults;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(faults.load(), 0);
  for (int t = 0; t < threadCount; ++t) EXPECT_EQ(itemCount("thread-" + std::to_string(t)), 0);
}

}  // namespace
