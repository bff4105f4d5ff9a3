#include "diag/frame.h"

#include <algorithm>
#include <cmath>

#include "img/exif_write.h"
#include "img/jpeg/encode.h"
#include "img/ops/resample.h"
#include "imageio/load_image.h"
#include "imageio/srgb.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr std::string_view XMP_SIGNATURE = "http://ns.adobe.com/xap/1.0/";

// Halves away from zero, as every rounding of the program's own computations.
double round_away(double x) { return std::round(x); }

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Out-of-line bytes of an ASCII entry of n characters (NUL added, padded to even length).
uint32_t ascii_extra(size_t n) { return n + 1 <= 4 ? 0u : static_cast<uint32_t>((n + 2) & ~size_t{1}); }

}  // namespace

void set_xmp_attr(XmpAttrs& list, std::string_view name, std::string value) {
  for (auto& [n, v] : list) {
    if (n == name) {
      v = std::move(value);
      return;
    }
  }
  list.emplace_back(std::string(name), std::move(value));
}

XmpAttrs frame_xmp_attrs(const ImageMeta& photo) {
  XmpAttrs attrs;
  for (const auto& a : photo.xmp)
    if (a.first != "DewarpData") attrs.push_back(a);
  const std::pair<std::string_view, double> numbers[] = {
      {"GpsLatitude", photo.lat},          {"GpsLongitude", photo.lon},
      {"RelativeAltitude", photo.rel_alt}, {"GimbalYawDegree", photo.gimbal_yaw},
      {"GimbalPitchDegree", photo.gimbal_pitch}, {"GimbalRollDegree", photo.gimbal_roll},
  };
  for (const auto& [name, value] : numbers) {
    if (!std::isfinite(value)) continue;
    const bool gps = name.find("Gps") != std::string_view::npos;
    set_xmp_attr(attrs, name, format(gps ? "{:+.9}" : "{:+.2}", value));
  }
  std::string source = file_name_string(photo.path.string());
  if (!photo.meta_from.empty()) source += format(" (meta from {})", photo.meta_from);
  set_xmp_attr(attrs, "TessalySource", std::move(source));
  set_xmp_attr(attrs, "TessalyProcessed", photo.processed ? "1" : "0");
  return attrs;
}

std::string frame_xmp_packet(const XmpAttrs& attrs) {
  std::string out =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
      "<rdf:Description rdf:about=\"DJI Meta Data\" xmlns:drone-dji=\"http://www.dji.com/drone-dji/1.0/\"\n";
  for (size_t i = 0; i < attrs.size(); ++i) {
    if (i > 0) out += '\n';
    out += "   drone-dji:";
    out += attrs[i].first;
    out += "=\"";
    out += xml_escape(attrs[i].second);
    out += '"';
  }
  out += "/></rdf:RDF></x:xmpmeta>";
  return out;
}

std::vector<uint8_t> frame_exif_block(const ImageMeta& photo) {
  const std::string make = photo.make.empty() ? std::string("DJI") : photo.make;
  const uint32_t exif_offset = 62 + ascii_extra(make.size()) + ascii_extra(photo.model.size()) +
                               ascii_extra(photo.software.size());
  const std::vector<ExifTag> ifd0 = {
      {271, make}, {272, photo.model}, {305, photo.software}, {34665, exif_offset}};
  std::vector<ExifTag> exif;
  if (std::isfinite(photo.exposure)) {
    // The exposure value (time x ISO / f-number^2) as the equivalent time at f/2.8, ISO 100.
    exif.emplace_back(33434, photo.exposure * 2.8 * 2.8 / 100.0);
    exif.emplace_back(33437, 2.8);
    exif.emplace_back(34855, uint16_t{100});
  }
  if (!photo.time.empty()) exif.emplace_back(36867, photo.time);
  if (std::isfinite(photo.focal_mm)) exif.emplace_back(37386, photo.focal_mm);
  if (std::isfinite(photo.focal_35mm))
    exif.emplace_back(41989, static_cast<uint16_t>(std::clamp(round_away(photo.focal_35mm), 0.0, 65535.0)));

  std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
  std::vector<uint8_t> data0;
  const std::vector<uint8_t> dir0 = write_exif_ifd(ifd0, 8, data0);
  tiff.insert(tiff.end(), dir0.begin(), dir0.end());
  tiff.insert(tiff.end(), data0.begin(), data0.end());
  std::vector<uint8_t> data1;
  const std::vector<uint8_t> dir1 = write_exif_ifd(exif, static_cast<uint32_t>(tiff.size()), data1);
  tiff.insert(tiff.end(), dir1.begin(), dir1.end());
  tiff.insert(tiff.end(), data1.begin(), data1.end());

  std::vector<uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
  block.insert(block.end(), tiff.begin(), tiff.end());
  return block;
}

std::expected<std::vector<uint8_t>, std::string> diag_frame_jpeg(const ImageMeta& photo, uint64_t max_px) {
  max_px = std::max(max_px, DIAG_FRAME_MIN_PX);
  const double full = static_cast<double>(std::max(photo.width, photo.height));
  const double scale = full > 0.0 ? std::min(static_cast<double>(max_px) / full, 1.0) : 1.0;
  auto decoded = load_image(photo, scale);
  if (!decoded) return std::unexpected(decoded.error());

  const ImageU16& src = decoded->image;
  ImageF32 linear(src.width, src.height, 3);
  for (size_t i = 0; i < linear.data.size(); ++i) linear.data[i] = static_cast<float>(src.data[i]) / 65535.0f;
  decoded->image = {};

  const size_t l = std::max(linear.width, linear.height);
  if (static_cast<double>(l) > 1.02 * static_cast<double>(max_px)) {
    const double f = static_cast<double>(max_px) / static_cast<double>(l);
    const auto w = static_cast<size_t>(std::max(1.0, round_away(static_cast<double>(linear.width) * f)));
    const auto h = static_cast<size_t>(std::max(1.0, round_away(static_cast<double>(linear.height) * f)));
    linear = resize(linear, w, h);
  }

  ImageU8 frame(linear.width, linear.height, 3);
  for (size_t i = 0; i < linear.data.size(); ++i) {
    const float v = srgb_encode(linear.data[i]) * 255.0f;
    frame.data[i] = static_cast<uint8_t>(std::clamp(std::round(v), 0.0f, 255.0f));
  }

  std::vector<AppSegment> segments(2);
  segments[0].payload = frame_exif_block(photo);
  const std::string packet = frame_xmp_packet(frame_xmp_attrs(photo));
  segments[1].payload.assign(XMP_SIGNATURE.begin(), XMP_SIGNATURE.end());
  segments[1].payload.push_back(0);
  segments[1].payload.insert(segments[1].payload.end(), packet.begin(), packet.end());
  // A packet beyond one APP1 segment cannot be written; keep the frame without it.
  if (segments[1].payload.size() > JPEG_MAX_APP_PAYLOAD) segments.pop_back();
  return encode_jpeg(frame, 90, segments);
}

}  // namespace tsl
