#include "pipeline/last_run.h"

#include <mutex>
#include <utility>

namespace tsl {
namespace {

// The lock guards only the swap and the copy of the reference: a record is never changed
// after publication, so readers use it unlocked.
struct Slot {
  std::mutex mutex;
  std::shared_ptr<const LastRun> run;
};

Slot& slot() {
  static Slot s;
  return s;
}

}  // namespace

void publish_last_run(std::shared_ptr<const LastRun> run) {
  std::shared_ptr<const LastRun> previous;
  {
    std::lock_guard lock(slot().mutex);
    previous = std::exchange(slot().run, std::move(run));
  }
  // The previous record, when no reader holds it, is freed here, outside the lock.
}

std::shared_ptr<const LastRun> take_last_run() {
  std::lock_guard lock(slot().mutex);
  return slot().run;
}

void clear_last_run() { publish_last_run(nullptr); }

}  // namespace tsl
