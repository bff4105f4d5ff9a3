#pragma once
// Collects the lines the calling thread logs while the object lives (they reach neither stdout
// nor the history), for tests that check what a stage says.
#include <memory>
#include <string>
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

}  // namespace tsl::test
