#include "support/test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>

namespace tsl::test {

namespace fs = std::filesystem;

fs::path source_dir() { return fs::path(TSL_SOURCE_DIR); }

fs::path shared_data_dir() {
  fs::path p = source_dir() / ".." / "shared" / "data";
  std::error_code ec;
  if (fs::is_directory(p, ec)) return fs::weakly_canonical(p, ec);
  return {};
}

fs::path tessaly_exe() { return fs::path(TSL_EXE); }

std::string python3() { return "/usr/bin/python3"; }

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / ("tsl_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
                    std::to_string(rd() % 100000));
    std::error_code ec;
    if (fs::create_directory(path_, ec)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string shell_quote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

CommandResult run_command(const std::string& command_line) {
  TempDir tmp;
  fs::path out = tmp / "stdout", err = tmp / "stderr";
  std::string full = "( " + command_line + " ) >" + shell_quote(out.string()) + " 2>" + shell_quote(err.string());
  int status = std::system(full.c_str());
  CommandResult r;
  r.exit_code = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  r.out = read_file_text(out);
  r.err = read_file_text(err);
  return r;
}

bool have_tool(const std::string& tool) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  std::lock_guard lock(mutex);
  auto it = known.find(tool);
  if (it != known.end()) return it->second;
  bool ok;
  if (!tool.empty() && tool[0] == '/')
    ok = access(tool.c_str(), X_OK) == 0;
  else
    ok = std::system(("command -v " + shell_quote(tool) + " >/dev/null 2>&1").c_str()) == 0;
  known[tool] = ok;
  return ok;
}

bool have_python_modules(const std::string& modules) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  std::lock_guard lock(mutex);
  auto it = known.find(modules);
  if (it != known.end()) return it->second;
  std::string imports;
  std::istringstream words(modules);
  std::string m;
  while (words >> m) imports += "import " + m + "\n";
  bool ok = access(python3().c_str(), X_OK) == 0 &&
            std::system((python3() + " -c " + shell_quote(imports) + " >/dev/null 2>&1").c_str()) == 0;
  known[modules] = ok;
  return ok;
}

std::vector<uint8_t> read_file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_file_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string read_file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value)
    : ScopedEnv(name, value ? value->c_str() : nullptr) {}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_.c_str(), old_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace tsl::test
