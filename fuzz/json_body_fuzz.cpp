// A studio request body on arbitrary bytes, down the road a build request takes: the body read
// as JSON after replacing invalid UTF-8, the settings turned into command-line words, the words
// parsed and the option map made a configuration. Never a crash; every word is valid UTF-8, as
// the entry demands of its own words, and a map the parser gives reads back as configuration.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/parse_args.h"
#include "config/settings_argv.h"
#include "util/json.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto body = tsl::json_parse(tsl::sanitize_utf8(bytes));
  if (!body) return 0;
  const std::vector<std::string> argv = tsl::settings_to_argv(*body);
  for (const std::string& word : argv)
    if (tsl::utf8_error(word)) std::abort();
  const auto options = tsl::parse_args(argv);
  if (!options) return 0;
  const tsl::Config config = tsl::Config::from_options(*options);
  if (config.input.empty()) std::abort();  // the parser requires an input
  return 0;
}
