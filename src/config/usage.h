#pragma once
// The program's version and its `--help` text, built from the option table.
#include <string>
#include <string_view>

namespace tsl {

inline constexpr std::string_view PROGRAM_VERSION = "0.5.0b4";

// The whole usage text: header, the three command forms, then one line per option row in
// table order, "  {column:<34} {help}\n" (rows without help end in spaces).
std::string usage_text();

}  // namespace tsl
