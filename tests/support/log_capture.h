#pragma once
// Collects logged lines for tests that check what a stage says. LogCapture takes the calling
// thread's lines away from stdout, the history and the stage timer; SinkCapture takes every
// thread's lines from stdout only, so that a whole build keeps its history and timings.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logx.h"

namespace tsl::test {

class LogCapture {
 public:
  LogCapture() : list_(std::make_shared<CaptureList>()) { set_log_capture(list_); }
  ~LogCapture() { set_log_capture(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(list_->mutex);
    return list_->lines;
  }

 private:
  std::shared_ptr<CaptureList> list_;
};

class SinkCapture {
 public:
  SinkCapture() : list_(std::make_shared<CaptureList>()) {
    set_log_sink([list = list_](std::string_view line) {
      std::lock_guard lock(list->mutex);
      list->lines.emplace_back(line);
    });
  }
  ~SinkCapture() { set_log_sink(std::nullopt); }
  SinkCapture(const SinkCapture&) = delete;
  SinkCapture& operator=(const SinkCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(list_->mutex);
    return list_->lines;
  }

 private:
  std::shared_ptr<CaptureList> list_;
};

}  // namespace tsl::test
