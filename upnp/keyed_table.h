// A table of entries keyed by byte strings, in insertion order, with its own lock. Used
// for the web server's virtual directories and the web client's destinations.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// The table's hash: the XOR of the key's first 4 bytes, its last 4 bytes and, for keys of
// 10 bytes or more, the 4 bytes at offset length / 2, each read little-endian. A key of 4
// bytes or fewer is zero-padded to 4 bytes and taken as it is.
uint32_t FLibKeyedTable_Hash(std::string_view key);

// A lock that any thread may release (a binary semaphore): the table's users take it
// around each use, sometimes across a hand-off between threads.
class FLibBinarySemaphore {
 public:
  void Acquire();
  // Releasing a semaphore that is not held is ignored (the count never exceeds 1).
  void Release();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// Entries compare by hash, then length, then bytes. T is the entry's data (a pointer, a
// std::unique_ptr, a small struct). The functions below do not lock; callers bracket
// their use with FLibKeyedTable_Lock / FLibKeyedTable_Unlock when threads share a table.
template <typename T>
struct FLibKeyedTable {
  struct Entry {
    std::string Key;
    uint32_t Hash = 0;
    T Data;
  };
  std::list<Entry> Entries;  // insertion order
  std::unordered_multimap<uint32_t, typename std::list<Entry>::iterator> Index;
  FLibBinarySemaphore Guard;

  FLibKeyedTable() = default;
  FLibKeyedTable(const FLibKeyedTable&) = delete;
  FLibKeyedTable& operator=(const FLibKeyedTable&) = delete;

  typename std::list<Entry>::iterator Find(std::string_view key) {
    const uint32_t hash = FLibKeyedTable_Hash(key);
    auto range = Index.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
      const std::string& k = it->second->Key;
      if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) {
        return it->second;
      }
    }
    return Entries.end();
  }

  void EraseIndex(typename std::list<Entry>::iterator entry) {
    auto range = Index.equal_range(entry->Hash);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == entry) {
        Index.erase(it);
        return;
      }
    }
  }
};

template <typename T>
bool FLibKeyedTable_HasEntry(FLibKeyedTable<T>& table, std::string_view key) {
  return table.Find(key) != table.Entries.end();
}

// Adds an entry (the key is copied); an existing entry of that key gets the new data and
// keeps its place.
template <typename T>
void FLibKeyedTable_Add(FLibKeyedTable<T>& table, std::string_view key, T data) {
  auto found = table.Find(key);
  if (found != table.Entries.end()) {
    found->Data = std::move(data);
    return;
  }
  const uint32_t hash = FLibKeyedTable_Hash(key);
  table.Entries.push_back({std::string(key), hash, std::move(data)});
  table.Index.emplace(hash, std::prev(table.Entries.end()));
}

// The entry's data, or null. Valid until the entry is deleted or replaced.
template <typename T>
T* FLibKeyedTable_Get(FLibKeyedTable<T>& table, std::string_view key) {
  auto found = table.Find(key);
  return found == table.Entries.end() ? nullptr : &found->Data;
}

// Removes the entry and returns its data, or nullopt when there is none.
template <typename T>
std::optional<T> FLibKeyedTable_Take(FLibKeyedTable<T>& table, std::string_view key) {
  auto found = table.Find(key);
  if (found == table.Entries.end()) return std::nullopt;
  std::optional<T> data(std::move(found->Data));
  table.EraseIndex(found);
  table.Entries.erase(found);
  return data;
}

// Removes (and destroys) the entry. Returns 0, or 1 when there is none.
template <typename T>
int FLibKeyedTable_Delete(FLibKeyedTable<T>& table, std::string_view key) {
  return FLibKeyedTable_Take(table, key).has_value() ? 0 : 1;
}

template <typename T>
size_t FLibKeyedTable_Count(const FLibKeyedTable<T>& table) {
  return table.Entries.size();
}

// Calls fn(std::string_view key, T& data) for each entry in insertion order. fn must not
// add or delete entries of this table.
template <typename T, typename Fn>
void FLibKeyedTable_Enumerate(FLibKeyedTable<T>& table, Fn&& fn) {
  for (auto& entry : table.Entries) fn(std::string_view(entry.Key), entry.Data);
}

template <typename T>
void FLibKeyedTable_Lock(FLibKeyedTable<T>& table) {
  table.Guard.Acquire();
}

template <typename T>
void FLibKeyedTable_Unlock(FLibKeyedTable<T>& table) {
  table.Guard.Release();
}
