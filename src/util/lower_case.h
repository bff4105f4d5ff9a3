#pragma once
// Unicode lower-casing for file names and software texts, so that the keys that pair the
// files of one shot and the raw-developer test treat "DJI_0001.JPG" and "dji_0001.jpg",
// or "ÄRIAL" and "ärial", alike.
#include <string>
#include <string_view>

namespace tsl {

// The full Unicode lower-case mapping of UTF-8 text (U+0130 becomes "i" plus U+0307; every
// other change maps one code point to one). Bytes that are not valid UTF-8 are copied unchanged.
std::string lower_unicode(std::string_view utf8);

}  // namespace tsl
