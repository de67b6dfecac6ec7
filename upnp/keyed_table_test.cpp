#include "upnp/keyed_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(KeyedTable, AddGetReplaceDeleteKeepInsertionOrder) {
  FLibKeyedTable<int> table;
  FLibKeyedTable_Add(table, "0", 10);
  FLibKeyedTable_Add(table, "1", 11);
  FLibKeyedTable_Add(table, "ContentDirectory", 12);
  FLibKeyedTable_Add(table, "0", 20);  // replaces, keeps its place
  EXPECT_EQ(FLibKeyedTable_Count(table), 3u);
  ASSERT_NE(FLibKeyedTable_Get(table, "0"), nullptr);
  EXPECT_EQ(*FLibKeyedTable_Get(table, "0"), 20);
  EXPECT_TRUE(FLibKeyedTable_HasEntry(table, "ContentDirectory"));
  EXPECT_FALSE(FLibKeyedTable_HasEntry(table, "contentdirectory"));

  std::vector<std::string> keys;
  FLibKeyedTable_Enumerate(table, [&](std::string_view key, int&) { keys.emplace_back(key); });
  EXPECT_EQ(keys, (std::vector<std::string>{"0", "1", "ContentDirectory"}));

  EXPECT_EQ(FLibKeyedTable_Delete(table, "1"), 0);
  EXPECT_EQ(FLibKeyedTable_Delete(table, "1"), 1);
  EXPECT_EQ(FLibKeyedTable_Get(table, "1"), nullptr);
  EXPECT_EQ(FLibKeyedTable_Count(table), 2u);
}

TEST(KeyedTable, CollidingKeysStayDistinct) {
  // Only bytes 4..6 of these 14-byte keys lie outside the hashed windows: equal hashes.
  const std::string a = "AAAAxyzBBBBCCC";
  const std::string b = "AAAAzyxBBBBCCC";
  ASSERT_EQ(FLibKeyedTable_Hash(a), FLibKeyedTable_Hash(b));
  // Zero padding makes "a" and "a\0" hash alike; length tells them apart.
  const std::string nul("a\0", 2);
  ASSERT_EQ(FLibKeyedTable_Hash("a"), FLibKeyedTable_Hash(nul));
  FLibKeyedTable<int> table;
  FLibKeyedTable_Add(table, a, 1);
  FLibKeyedTable_Add(table, b, 2);
  FLibKeyedTable_Add(table, "a", 3);
  FLibKeyedTable_Add(table, nul, 4);
  EXPECT_EQ(*FLibKeyedTable_Get(table, a), 1);
  EXPECT_EQ(*FLibKeyedTable_Get(table, b), 2);
  EXPECT_EQ(*FLibKeyedTable_Get(table, "a"), 3);
  EXPECT_EQ(*FLibKeyedTable_Get(table, nul), 4);
  EXPECT_EQ(FLibKeyedTable_Delete(table, a), 0);
  EXPECT_EQ(*FLibKeyedTable_Get(table, b), 2);
  EXPECT_EQ(FLibKeyedTable_Get(table, a), nullptr);
}

TEST(KeyedTable, TakeHandsOverOwnedData) {
  FLibKeyedTable<std::unique_ptr<std::string>> table;
  FLibKeyedTable_Add(table, "10.0.0.5:80", std::make_unique<std::string>("dest"));
  auto taken = FLibKeyedTable_Take(table, "10.0.0.5:80");
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(**taken, "dest");
  EXPECT_FALSE(FLibKeyedTable_Take(table, "10.0.0.5:80").has_value());
  EXPECT_EQ(FLibKeyedTable_Count(table), 0u);
}

TEST(KeyedTable, LockExcludesOtherThreadsAndMayBeReleasedElsewhere) {
  FLibKeyedTable<int> table;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&table] {
      for (int i = 0; i < kRounds; ++i) {
        FLibKeyedTable_Lock(table);
        int* count = FLibKeyedTable_Get(table, "n");
        const int next = count == nullptr ? 1 : *count + 1;
        FLibKeyedTable_Add(table, "n", next);
        FLibKeyedTable_Unlock(table);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(*FLibKeyedTable_Get(table, "n"), kThreads * kRounds);

  // Taken on this thread, released on another (a semaphore, not a mutex).
  FLibKeyedTable_Lock(table);
  std::thread releaser([&table] { FLibKeyedTable_Unlock(table); });
  releaser.join();
  FLibKeyedTable_Lock(table);
  FLibKeyedTable_Unlock(table);
  // An extra release does not let two holders in.
  FLibKeyedTable_Unlock(table);
  FLibKeyedTable_Lock(table);
  std::atomic<bool> entered{false};
  std::thread second([&] {
    FLibKeyedTable_Lock(table);
    entered = true;
    FLibKeyedTable_Unlock(table);
  });
  // The second thread must still be waiting while we hold the lock; give it a chance to
  // run, then check and let it in.
  for (int i = 0; i < 100 && !entered; ++i) std::this_thread::yield();
  EXPECT_FALSE(entered.load());
  FLibKeyedTable_Unlock(table);
  second.join();
  EXPECT_TRUE(entered.load());
}

}  // namespace
