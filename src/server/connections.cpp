#include "server/connections.h"

#include <chrono>
#include <map>
#include <mutex>

#include "platform/socket.h"

namespace tsl {
namespace {

struct Entry {
  platform::Socket handle;
  bool busy = false;
  std::chrono::steady_clock::time_point idle_since;
  bool evicted = false;  // shut down, its thread has yet to end
};

struct Table {
  std::mutex mutex;
  std::map<uint64_t, Entry> entries;
  uint64_t next_id = 1;
};

Table& table() {
  static Table t;
  return t;
}

}  // namespace

uint64_t connection_opened(const platform::Socket& socket) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  size_t live = 0;
  Entry* oldest = nullptr;
  for (auto& [id, e] : t.entries) {
    if (e.evicted) continue;
    ++live;
    if (!e.busy && (!oldest || e.idle_since < oldest->idle_since)) oldest = &e;
  }
  if (live >= MAX_CONNECTIONS) {
    if (!oldest) return 0;
    // Its thread sees the end of the stream and leaves; the slot is counted free from now.
    oldest->evicted = true;
    platform::shut_down(oldest->handle);
  }
  const uint64_t id = t.next_id++;
  t.entries.emplace(id, Entry{platform::duplicate(socket), false, std::chrono::steady_clock::now(), false});
  return id;
}

void connection_closed(uint64_t id) {
  Table& t = table();
  platform::Socket handle;  // closed after the lock is released
  std::lock_guard lock(t.mutex);
  auto it = t.entries.find(id);
  if (it == t.entries.end()) return;
  handle = std::move(it->second.handle);
  t.entries.erase(it);
}

void connection_busy(uint64_t id, bool busy) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.entries.find(id);
  if (it == t.entries.end()) return;
  it->second.busy = busy;
  if (!busy) it->second.idle_since = std::chrono::steady_clock::now();
}

size_t open_connections() {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  return t.entries.size();
}

}  // namespace tsl
