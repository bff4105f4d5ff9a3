#include "platform/system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace tsl::platform {

namespace {

// Reads one "Key:   123 kB" field of /proc/meminfo or /proc/self/status, in bytes.
uint64_t proc_kb_field(const char* path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':') {
      std::istringstream fields(line.substr(key.size() + 1));
      uint64_t kb = 0;
      fields >> kb;
      return kb * 1024;
    }
  }
  return 0;
}

}  // namespace

unsigned logical_processors() {
  // The processors this process may run on: a container or `taskset` can allow fewer than
  // the machine has, and budgets beyond them only oversubscribe.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n > 0) return static_cast<unsigned>(n);
  return std::thread::hardware_concurrency();
}

uint64_t available_memory_bytes() { return proc_kb_field("/proc/meminfo", "MemAvailable"); }

uint64_t total_memory_bytes() { return proc_kb_field("/proc/meminfo", "MemTotal"); }

uint64_t process_resident_bytes() { return proc_kb_field("/proc/self/status", "VmRSS"); }

std::optional<std::vector<CpuTime>> processor_times() {
  std::ifstream in("/proc/stat");
  if (!in) return std::nullopt;
  long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) ticks = 100;
  const uint64_t unit = 10'000'000 / static_cast<uint64_t>(ticks);  // 100 ns per tick
  std::vector<CpuTime> out;
  std::string line;
  while (std::getline(in, line)) {
    // Per-processor lines are "cpuN user nice system idle iowait irq softirq steal ...".
    if (line.size() < 4 || line.compare(0, 3, "cpu") != 0 || line[3] < '0' || line[3] > '9') continue;
    std::istringstream f(line);
    std::string name;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    f >> name >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    CpuTime t;
    t.idle = (idle + iowait) * unit;
    t.user = (user + nice) * unit;
    t.kernel = (system + irq + softirq + steal) * unit + t.idle;
    out.push_back(t);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

uint64_t process_id() { return static_cast<uint64_t>(getpid()); }

std::FILE* open_file(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::expected<OpenedForReading, int> open_for_reading(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return std::unexpected(e);
  }
  OpenedForReading out;
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: out.kind = NodeKind::Regular; break;
    case S_IFDIR: out.kind = NodeKind::Directory; break;
    case S_IFIFO: out.kind = NodeKind::Fifo; break;
    case S_IFCHR: out.kind = NodeKind::CharDevice; break;
    case S_IFBLK: out.kind = NodeKind::BlockDevice; break;
    case S_IFSOCK: out.kind = NodeKind::Socket; break;
    default: out.kind = NodeKind::Other; break;
  }
  if (out.kind != NodeKind::Regular) {
    ::close(fd);
    return out;
  }
  out.size = static_cast<uint64_t>(st.st_size);
  // Reads of a regular file never wait, but stdio expects a blocking descriptor.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  out.file = ::fdopen(fd, "rb");
  if (out.file == nullptr) {
    const int e = errno;
    ::close(fd);
    return std::unexpected(e);
  }
  return out;
}

}  // namespace tsl::platform
