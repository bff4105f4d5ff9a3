#pragma once
// What the program needs to know of the machine. On Linux the answers come from the
// scheduler's affinity mask, sysconf and /proc; every query degrades to "unknown" instead of
// failing.
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <optional>
#include <vector>

namespace tsl::platform {

// Logical processors available to the process; 0 when the system does not say.
unsigned logical_processors();

// Physical memory available for new allocations, in bytes; 0 when unknown.
uint64_t available_memory_bytes();

// Total physical memory in bytes; 0 when unknown.
uint64_t total_memory_bytes();

// Resident memory of this process in bytes; 0 when unknown.
uint64_t process_resident_bytes();

struct CpuTime {
  uint64_t idle = 0;    // 100 ns units since boot
  uint64_t kernel = 0;  // includes idle, as the busy/total arithmetic expects
  uint64_t user = 0;
};

// Cumulative times per logical processor, in processor order; nothing when unreadable.
std::optional<std::vector<CpuTime>> processor_times();

// The id of this process.
uint64_t process_id();

// Opens a file with a stdio mode ("rb", "wb"); null with errno set on failure. Paths are the
// system's own encoding, so any name the file system holds can be opened.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// What a path names, as far as reading it goes.
enum class NodeKind { Regular, Directory, Fifo, CharDevice, BlockDevice, Socket, Other };

// A path opened for reading: `file` is open ("rb") only when `kind` is Regular; `size` is the
// regular file's length when it was opened.
struct OpenedForReading {
  std::FILE* file = nullptr;
  NodeKind kind = NodeKind::Other;
  uint64_t size = 0;
};

// Opens a path for reading without waiting: a FIFO with no writer or a device never blocks
// the open, and the kind is taken from the opened node itself, so a path swapped between a
// check and the open cannot slip through. Error: the errno value of the failed open.
std::expected<OpenedForReading, int> open_for_reading(const std::filesystem::path& path);

// Files a process marks as its own while it writes them, so that a file left behind by a
// process that died half-way (SIGKILL, the out-of-memory killer, a crash) can be told from one
// a running process is still writing. The mark is an exclusive advisory lock on the open
// file: the system drops it when the process ends, however it ends.
// A regular file this process holds locked; the lock and the descriptor go with the record.
struct HeldFile {
  int fd = -1;

  HeldFile() = default;
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();
};

// Drops the lock (the file stays).
void release(HeldFile& file);

// The errno value hold_file returns for a file another live process (or another open of this
// process) holds.
inline constexpr int HELD_ELSEWHERE = -1;

// Holds `path` as an empty regular file: creates it, or takes over a regular file of that name
// that nobody holds (a leftover), truncating it. A link, folder, FIFO or device at the name is
// never opened through or changed (EEXIST). A name renamed or removed by its holder while it was
// being taken is taken afresh. Errors: HELD_ELSEWHERE, EEXIST, or the errno of the failed call.
std::expected<HeldFile, int> hold_file(const std::filesystem::path& path);

// Removes the regular file at `path` unless a live process holds it; true when it was removed.
// Nothing else at the name is touched.
bool remove_unless_held(const std::filesystem::path& path);

}  // namespace tsl::platform
