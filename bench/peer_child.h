#pragma once
// A Python child that times a peer library call on request, so a benchmark can alternate its
// own runs with the peer's run by run under the same load and on the same cores (the child
// inherits the processor affinity). The script defines `handle(words)`, which does one
// request and returns the seconds it timed; the child answers each line sent with one line.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tsl_bench {

class PeerChild {
 public:
  explicit PeerChild(const std::string& script) {
    const std::string program = script +
                                "\nimport sys\n"
                                "for line in sys.stdin:\n"
                                "    try:\n"
                                "        print(repr(float(handle(line.split()))), flush=True)\n"
                                "    except Exception as e:\n"
                                "        print('nan', flush=True); print(e, file=sys.stderr)\n";
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to_child[0], 0);
      dup2(from_child[1], 1);
      close(to_child[1]);
      close(from_child[0]);
      execl("/usr/bin/python3", "python3", "-c", program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    in_ = fdopen(to_child[1], "w");
    out_ = fdopen(from_child[0], "r");
  }

  ~PeerChild() {
    if (in_) std::fclose(in_);
    if (out_) std::fclose(out_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }

  PeerChild(const PeerChild&) = delete;
  PeerChild& operator=(const PeerChild&) = delete;

  // Seconds the child timed for one request, or nothing when the child failed.
  std::optional<double> request(const std::string& line) {
    if (!in_ || !out_) return std::nullopt;
    std::fprintf(in_, "%s\n", line.c_str());
    std::fflush(in_);
    char buf[128];
    if (!std::fgets(buf, sizeof buf, out_)) return std::nullopt;
    const double t = std::strtod(buf, nullptr);
    if (!(t >= 0.0)) return std::nullopt;
    return t;
  }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

inline double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace tsl_bench
