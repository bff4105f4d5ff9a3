#include "platform/system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

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

namespace {

// Attempts at a name that keeps being renamed or removed under us by other holders.
constexpr int TAKE_ATTEMPTS = 8;

bool same_node(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens and locks the regular file at `path`, creating it when `create`. flock, not fcntl:
// its lock belongs to this open file alone, so another descriptor of the same file that a
// writer opens and closes never drops it.
std::expected<HeldFile, int> lock_node(const std::filesystem::path& path, bool create) {
  for (int attempt = 0; attempt < TAKE_ATTEMPTS; ++attempt) {
    struct stat named {};
    if (::lstat(path.c_str(), &named) == 0) {
      if (!S_ISREG(named.st_mode)) return std::unexpected(EEXIST);
    } else if (errno != ENOENT || !create) {
      return std::unexpected(errno);
    }
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0);
    HeldFile held;
    held.fd = ::open(path.c_str(), flags, 0666);
    if (held.fd < 0) {
      // A link put at the name after the check (ELOOP) or a folder (EISDIR): something else is there.
      if (errno == ELOOP || errno == EISDIR) return std::unexpected(EEXIST);
      if (errno == ENOENT) continue;
      return std::unexpected(errno);
    }
    struct stat opened {};
    if (::fstat(held.fd, &opened) != 0) return std::unexpected(errno);
    if (!S_ISREG(opened.st_mode)) return std::unexpected(EEXIST);
    if (::flock(held.fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return std::unexpected(HELD_ELSEWHERE);
      return std::unexpected(errno);
    }
    // The holder before us may have renamed the file into place or removed it between our
    // open and our lock: then the name is no longer this file.
    if (::lstat(path.c_str(), &named) != 0 || !same_node(named, opened)) continue;
    return held;
  }
  return std::unexpected(HELD_ELSEWHERE);
}

}  // namespace

HeldFile::HeldFile(HeldFile&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    release(*this);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

HeldFile::~HeldFile() { release(*this); }

void release(HeldFile& file) {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
}

std::expected<HeldFile, int> hold_file(const std::filesystem::path& path) {
  auto held = lock_node(path, true);
  if (!held) return held;
  if (::ftruncate(held->fd, 0) != 0) return std::unexpected(errno);
  return held;
}

bool remove_unless_held(const std::filesystem::path& path) {
  auto held = lock_node(path, false);
  // Unlinked while locked, so no process can take the name between the check and the removal.
  return held && ::unlink(path.c_str()) == 0;
}

}  // namespace tsl::platform
