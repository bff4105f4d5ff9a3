#pragma once
// Shared helpers for tests: temporary folders, running outside tools as oracles, and the
// real data under ../shared/data. Tests that need a missing tool or data skip visibly.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tsl::test {

// The repository root.
std::filesystem::path source_dir();
// ../shared/data next to the repository, or empty when absent.
std::filesystem::path shared_data_dir();
// The built tessaly executable.
std::filesystem::path tessaly_exe();
// Debian's python3 (the one that sees python3-numpy and friends).
std::string python3();

// A fresh folder under the system temp dir, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int exit_code = -1;
  std::string out;  // stdout
  std::string err;  // stderr
};

// Runs a shell command line; captures stdout and stderr.
CommandResult run_command(const std::string& command_line);

// Quotes a word for /bin/sh.
std::string shell_quote(const std::string& word);

// True when `tool` is on PATH (or an absolute path that exists and is executable).
bool have_tool(const std::string& tool);
// True when Debian's python3 can import every module named (space separated).
bool have_python_modules(const std::string& modules);

std::vector<uint8_t> read_file_bytes(const std::filesystem::path& path);
void write_file_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
void write_file_text(const std::filesystem::path& path, const std::string& text);
std::string read_file_text(const std::filesystem::path& path);

// Sets an environment variable (or unsets it, for nullptr or nullopt) for the object's scope
// and puts back what was there before.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace tsl::test

// Skip the current test unless the tool / python modules / shared data are present.
#define TSL_REQUIRE_TOOL(tool) \
  if (!::tsl::test::have_tool(tool)) GTEST_SKIP() << "tool not installed: " << (tool)
#define TSL_REQUIRE_PYTHON(modules)                                 \
  if (!::tsl::test::have_python_modules(modules))                    \
  GTEST_SKIP() << "python modules not installed: " << (modules)
#define TSL_REQUIRE_SHARED_DATA()                         \
  if (::tsl::test::shared_data_dir().empty())              \
  GTEST_SKIP() << "../shared/data is absent"
