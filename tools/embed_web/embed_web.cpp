// Build-time tool: writes every file of the page folder into a C++ source as byte arrays with
// its relative path, and beside each text file (html, js, css, json, svg) its gzip member made
// with the program's own deflate, so the studio serves the page compressed without compressing
// at run time.
//
// Usage: embed_web WEB_DIR OUT_CPP
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "util/deflate.h"

namespace fs = std::filesystem;

namespace {

bool compressible(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".html" || ext == ".js" || ext == ".css" || ext == ".json" || ext == ".svg";
}

void put_u32le(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A gzip member: fixed header (no name, no time, OS unknown), the raw deflate stream, CRC-32
// and the length modulo 2^32.
std::vector<uint8_t> gzip_member(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 2, 0xff};
  std::vector<uint8_t> body = tsl::deflate(data, 9);
  out.insert(out.end(), body.begin(), body.end());
  put_u32le(out, tsl::crc32_bytes(data));
  put_u32le(out, static_cast<uint32_t>(data.size()));
  return out;
}

void write_array(std::string& out, const std::string& name, const std::vector<uint8_t>& bytes) {
  static const char* HEX = "0123456789abcdef";
  out += "const unsigned char " + name + "[] = {";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 24 == 0) out += "\n";
    out += "0x";
    out += HEX[bytes[i] >> 4];
    out += HEX[bytes[i] & 15];
    out += ",";
  }
  out += "0};\n";
}

std::string view_of(const std::string& name, size_t n) {
  return "std::string_view(reinterpret_cast<const char*>(" + name + "), " + std::to_string(n) + ")";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: embed_web WEB_DIR OUT_CPP\n");
    return 2;
  }
  const fs::path dir = argv[1];
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), dir));
  std::sort(files.begin(), files.end());
  std::string body =
      "// generated from web/ by tools/embed_web; do not edit\n#include <cstddef>\n#include <string_view>\n"
      "#include \"server/web_assets.h\"\nnamespace tsl {\nnamespace {\n";
  std::string table;
  for (size_t i = 0; i < files.size(); ++i) {
    std::ifstream in(dir / files[i], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "embed_web: cannot read %s\n", (dir / files[i]).string().c_str());
      return 1;
    }
    const std::string raw = "asset_" + std::to_string(i), packed = "gzip_" + std::to_string(i);
    write_array(body, raw, bytes);
    std::string gz_view = "std::string_view()";
    if (compressible(files[i])) {
      std::vector<uint8_t> gz = gzip_member(bytes);
      if (gz.size() < bytes.size()) {
        write_array(body, packed, gz);
        gz_view = view_of(packed, gz.size());
      }
    }
    table += "  {\"" + files[i].generic_string() + "\", " + view_of(raw, bytes.size()) + ", " + gz_view + "},\n";
  }
  body += "}  // namespace\n\nconst std::vector<WebAsset>& web_assets() {\n  static const std::vector<WebAsset> assets = {\n" +
          table + "  };\n  return assets;\n}\n}  // namespace tsl\n";
  std::ofstream out(argv[2], std::ios::binary);
  out << body;
  return out.good() ? 0 : 1;
}
