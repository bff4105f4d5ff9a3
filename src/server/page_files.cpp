#include "server/page_files.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "img/png.h"
#include "util/text.h"

namespace tsl {
namespace {

// The picture of the icon: a white tile on a teal disc.
std::string make_favicon() {
  constexpr size_t N = 64;
  std::vector<uint8_t> px(N * N * 4, 0);
  for (size_t y = 0; y < N; ++y) {
    for (size_t x = 0; x < N; ++x) {
      double dx = static_cast<double>(x) + 0.5 - 32.0, dy = static_cast<double>(y) + 0.5 - 32.0;
      double r = std::sqrt(dx * dx + dy * dy);
      uint8_t* p = &px[(y * N + x) * 4];
      if (r > 30.0) continue;
      bool tile = std::abs(dx) < 14.0 && std::abs(dy) < 14.0 && (std::abs(dx) > 2.0 && std::abs(dy) > 2.0);
      p[0] = tile ? 255 : 20;
      p[1] = tile ? 255 : 130;
      p[2] = tile ? 255 : 140;
      p[3] = static_cast<uint8_t>(std::clamp((30.0 - r) * 255.0, 0.0, 255.0));
    }
  }
  auto png = encode_png(px, N, N, 4, 9);
  return std::string(png.begin(), png.end());
}

// The stored gzip member when the browser takes it, else the plain bytes.
HttpResponse asset_response(const WebAsset& asset, const HttpRequest& request) {
  HttpResponse r;
  r.content_type = std::string(asset_content_type(asset.path));
  if (request.accepts_gzip && !asset.gzip.empty()) {
    r.body = std::string(asset.gzip);
    r.headers.emplace_back("Content-Encoding", "gzip");
  } else {
    r.body = std::string(asset.bytes);
  }
  if (!asset.gzip.empty()) r.headers.emplace_back("Vary", "Accept-Encoding");
  return r;
}

}  // namespace

const WebAsset* find_asset(std::string_view path) {
  for (const WebAsset& a : web_assets())
    if (a.path == path) return &a;
  return nullptr;
}

std::string_view asset_content_type(std::string_view path) {
  struct Type {
    std::string_view ext, type;
  };
  static constexpr Type TYPES[] = {
      {"html", "text/html; charset=utf-8"}, {"js", "text/javascript; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},   {"json", "application/json"},
      {"png", "image/png"},                 {"svg", "image/svg+xml"},
  };
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    const std::string ext = to_lower_ascii(name.substr(dot + 1));
    for (const Type& t : TYPES)
      if (t.ext == ext) return t.type;
  }
  return "application/octet-stream";
}

const std::string& favicon_png() {
  static const std::string bytes = [] {
    if (const WebAsset* a = find_asset("favicon.png")) return std::string(a->bytes);
    return make_favicon();
  }();
  return bytes;
}

HttpResponse serve_page(const HttpRequest& request) {
  if (const WebAsset* a = find_asset("index.html")) return asset_response(*a, request);
  HttpResponse r;
  r.content_type = "text/html; charset=utf-8";
  return r;
}

HttpResponse serve_favicon(const HttpRequest&) {
  HttpResponse r;
  r.content_type = "image/png";
  r.body = favicon_png();
  r.cacheable = true;
  return r;
}

HttpResponse serve_asset(const HttpRequest& request) {
  std::string_view path = request.path;
  if (!path.starts_with('/')) return not_found_response();
  const WebAsset* a = find_asset(path.substr(1));
  return a ? asset_response(*a, request) : not_found_response();
}

}  // namespace tsl
