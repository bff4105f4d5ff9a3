#include "meta/file_kind.h"

#include "util/lower_case.h"
#include "util/path.h"

namespace tsl {

std::string lower_extension(const std::filesystem::path& path) {
  const std::string name = file_name_string(path.native());
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return lower_unicode(name.substr(dot + 1));
}

PhotoKind photo_kind(const std::filesystem::path& path) {
  const std::string ext = lower_extension(path);
  if (ext == "dng") return PhotoKind::Dng;
  if (ext == "tif" || ext == "tiff") return PhotoKind::Tiff;
  return PhotoKind::Jpeg;
}

bool is_image_file(const std::filesystem::path& path) {
  const std::string ext = lower_extension(path);
  return ext == "jpg" || ext == "jpeg" || ext == "tif" || ext == "tiff" || ext == "dng";
}

bool is_dng_file(const std::filesystem::path& path) { return lower_extension(path) == "dng"; }

}  // namespace tsl
