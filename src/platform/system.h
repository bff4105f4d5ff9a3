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

}  // namespace tsl::platform
