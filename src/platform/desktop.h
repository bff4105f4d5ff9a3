#pragma once
// The desktop's own opener (xdg-open): shows a folder in the file manager or a page in the
// browser, in a child process that is not waited for.
#include <expected>
#include <string>

namespace tsl::platform {

// Starts xdg-open on a path or address. Error: "xdg-open is not installed" when it cannot be
// started. Whether the desktop then shows anything is not known here.
std::expected<void, std::string> open_with_desktop(const std::string& target);

}  // namespace tsl::platform
