#include "img/jpeg/decode.h"

#include "img/jpeg/frame.h"
#include "img/jpeg/reconstruct.h"
#include "util/text.h"

namespace tsl {

namespace {

using Result = std::expected<void, std::string>;

uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }

size_t ceil_div(size_t a, size_t b) { return (a + b - 1) / b; }

Result read_frame_header(JpegDecoder& dec, std::span<const uint8_t> p, bool progressive) {
  if (p.size() < 6 || p.size() < 6 + 3 * size_t{p[5]}) return std::unexpected("bad SOF segment");
  // 12-bit samples would come out as garbage through the 8-bit path.
  if (p[0] != 8) return std::unexpected(format("JPEG sample precision {} not supported", p[0]));
  dec.height = be16(&p[1]);
  dec.width = be16(&p[3]);
  dec.progressive = progressive;
  const size_t nf = p[5];
  for (size_t i = 0; i < nf; ++i) {
    JpegComponent c;
    c.id = p[6 + 3 * i];
    c.h = p[7 + 3 * i] >> 4;
    c.v = p[7 + 3 * i] & 15;
    c.tq = p[8 + 3 * i] & 3;
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4)
      return std::unexpected(format("bad JPEG sampling factors {}x{}", c.h, c.v));
    dec.components.push_back(std::move(c));
  }
  const size_t n = dec.components.size();
  if (n == 4) return std::unexpected("CMYK/YCCK JPEG not supported");
  if (n == 2 || n > 4) return std::unexpected(format("JPEG with {} components not supported", n));
  dec.hmax = 1;
  dec.vmax = 1;
  for (const auto& c : dec.components) {
    dec.hmax = std::max(dec.hmax, c.h);
    dec.vmax = std::max(dec.vmax, c.v);
  }
  dec.mcus_x = ceil_div(dec.width, 8 * size_t{dec.hmax});
  dec.mcus_y = ceil_div(dec.height, 8 * size_t{dec.vmax});
  // Prove the coefficient buffers fit before any of them is allocated.
  uint64_t samples = 0;
  for (const auto& c : dec.components) samples += uint64_t{c.h} * dec.mcus_x * c.v * dec.mcus_y * 64;
  if (samples > JPEG_MAX_SAMPLES)
    return std::unexpected(format("JPEG frame too large: {}x{} with {} components", dec.width, dec.height, n));
  for (auto& c : dec.components) {
    c.blocks_w = c.h * dec.mcus_x;
    c.blocks_h = c.v * dec.mcus_y;
    c.coeffs.assign(c.blocks_w * c.blocks_h * 64, 0);
  }
  return {};
}

Result read_quant_tables(JpegDecoder& dec, std::span<const uint8_t> p) {
  size_t i = 0;
  while (i < p.size()) {
    const uint8_t b = p[i];
    const bool wide = b >= 16;
    const size_t len = wide ? 129 : 65;
    if (i + len > p.size()) return std::unexpected("bad DQT segment");
    auto& q = dec.quant[b & 3];
    for (size_t k = 0; k < 64; ++k)
      q[JPEG_ZIGZAG[k]] = static_cast<uint16_t>(wide ? be16(&p[i + 1 + 2 * k]) : p[i + 1 + k]);
    i += len;
  }
  return {};
}

Result read_huffman_tables(JpegDecoder& dec, std::span<const uint8_t> p) {
  size_t i = 0;
  while (p.size() - i >= 17) {
    const uint8_t b = p[i];
    std::span<const uint8_t, 16> counts(p.data() + i + 1, 16);
    size_t total = 0;
    for (uint8_t c : counts) total += c;
    if (i + 17 + total > p.size()) return std::unexpected("bad DHT segment");
    auto table = JpegHuffTable::build(counts, p.subspan(i + 17, total));
    if (!table) return std::unexpected("bad DHT segment: " + table.error());
    (b > 15 ? dec.ac_tables : dec.dc_tables)[b & 3] = std::move(*table);
    i += 17 + total;
  }
  return {};
}

enum class ScanMode { Sequential, DcFirst, DcRefine, AcFirst, AcRefine };

struct ScanComponent {
  JpegComponent* comp = nullptr;
  const JpegHuffTable* dc = nullptr;
  const JpegHuffTable* ac = nullptr;
};

std::string entropy_message(JpegEntropyError e) {
  return e == JpegEntropyError::BadDcCategory ? "bad DC difference category" : "bad huffman code";
}

// Decodes one scan whose header is `p`; returns where its entropy-coded data stopped.
std::expected<size_t, std::string> read_scan(JpegDecoder& dec, std::span<const uint8_t> data, size_t data_start,
                                             std::span<const uint8_t> p) {
  if (dec.components.empty()) return std::unexpected("SOS before SOF");
  if (p.empty() || p[0] == 0 || p.size() < 1 + 2 * size_t{p[0]} + 3) return std::unexpected("bad SOS segment");
  const size_t ns = p[0];
  std::vector<ScanComponent> scan;
  for (size_t i = 0; i < ns; ++i) {
    const uint8_t id = p[1 + 2 * i];
    const uint8_t t = p[2 + 2 * i];
    JpegComponent* found = nullptr;
    for (auto& c : dec.components) {
      if (c.id == id) {
        found = &c;
        break;
      }
    }
    if (found == nullptr) return std::unexpected("bad scan component");
    found->dc_table = (t >> 4) & 3;
    found->ac_table = t & 3;
    scan.push_back({found, nullptr, nullptr});
  }
  const uint32_t ss = p[1 + 2 * ns];
  const uint32_t se = p[2 + 2 * ns];
  const uint32_t ah = p[3 + 2 * ns] >> 4;
  const uint32_t al = p[3 + 2 * ns] & 15;
  for (auto& sc : scan) {
    const auto& dc = dec.dc_tables[sc.comp->dc_table];
    const auto& ac = dec.ac_tables[sc.comp->ac_table];
    sc.dc = dc ? &*dc : nullptr;
    sc.ac = ac ? &*ac : nullptr;
  }
  ScanMode mode = ScanMode::Sequential;
  if (dec.progressive) {
    if (ss == 0)
      mode = ah == 0 ? ScanMode::DcFirst : ScanMode::DcRefine;
    else
      mode = ah == 0 ? ScanMode::AcFirst : ScanMode::AcRefine;
  }
  // A refinement walks every position of its band, so the band must stay inside the block.
  if (mode == ScanMode::AcRefine && se > 63) return std::unexpected("bad progressive scan band");

  JpegBitReader reader;
  reader.data = data.data();
  reader.length = data.size();
  reader.pos = data_start;
  for (auto& c : dec.components) c.dc_pred = 0;
  dec.eob_run = 0;

  auto decode_block = [&](ScanComponent& sc, size_t col, size_t row) -> Result {
    JpegComponent& c = *sc.comp;
    int16_t* block = c.coeffs.data() + (row * c.blocks_w + col) * 64;
    JpegEntropyError e = JpegEntropyError::None;
    switch (mode) {
      case ScanMode::Sequential:
        if (sc.dc == nullptr) return std::unexpected("missing DC table");
        if (sc.ac == nullptr) return std::unexpected("missing AC table");
        e = decode_block_baseline(reader, *sc.dc, *sc.ac, c.dc_pred, block);
        break;
      case ScanMode::DcFirst:
        if (sc.dc == nullptr) return std::unexpected("missing DC table");
        e = decode_dc_first(reader, *sc.dc, c.dc_pred, al, block);
        break;
      case ScanMode::DcRefine:
        e = decode_dc_refine(reader, al, block);
        break;
      case ScanMode::AcFirst:
        if (sc.ac == nullptr) return std::unexpected("missing AC table");
        e = decode_ac_first(reader, *sc.ac, ss, se, al, dec.eob_run, block);
        break;
      case ScanMode::AcRefine:
        if (sc.ac == nullptr) return std::unexpected("missing AC table");
        e = decode_ac_refine(reader, *sc.ac, ss, se, al, dec.eob_run, block);
        break;
    }
    if (e != JpegEntropyError::None) return std::unexpected(entropy_message(e));
    return {};
  };

  size_t cols = dec.mcus_x, rows = dec.mcus_y;
  if (ns == 1) {
    const JpegComponent& c = *scan[0].comp;
    cols = ceil_div(ceil_div(dec.width * c.h, dec.hmax), 8);
    rows = ceil_div(ceil_div(dec.height * c.v, dec.vmax), 8);
  }
  uint32_t counter = 0;
  for (size_t my = 0; my < rows; ++my) {
    for (size_t mx = 0; mx < cols; ++mx) {
      if (dec.restart_interval != 0 && counter == dec.restart_interval) {
        reader.resync_restart();
        for (auto& c : dec.components) c.dc_pred = 0;
        dec.eob_run = 0;
        counter = 0;
      }
      ++counter;
      if (ns == 1) {
        if (auto r = decode_block(scan[0], mx, my); !r) return std::unexpected(r.error());
        continue;
      }
      for (auto& sc : scan) {
        const size_t h = sc.comp->h, v = sc.comp->v;
        for (size_t by = 0; by < v; ++by)
          for (size_t bx = 0; bx < h; ++bx)
            if (auto r = decode_block(sc, mx * h + bx, my * v + by); !r) return std::unexpected(r.error());
      }
    }
  }
  return reader.pos;
}

// Walks the markers from just after SOI, decoding every scan into the coefficient buffers.
Result walk_markers(JpegDecoder& dec, std::span<const uint8_t> data) {
  const size_t n = data.size();
  size_t pos = 2;
  for (;;) {
    while (pos < n && data[pos] != 0xFF) ++pos;
    while (pos < n && data[pos] == 0xFF) ++pos;
    if (pos >= n) return {};
    const uint8_t m = data[pos];
    if (m == 0xD9) return {};
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      ++pos;
      continue;
    }
    if (pos + 2 >= n) return {};
    const size_t length = be16(&data[pos + 1]);
    if (length < 2) return std::unexpected("bad JPEG segment length");
    const size_t end = pos + 1 + length;
    const auto payload = data.subspan(pos + 3, std::min(end, n) - (pos + 3));
    size_t next = end;
    switch (m) {
      case 0xC0:
      case 0xC1:
      case 0xC2:
        if (auto r = read_frame_header(dec, payload, m == 0xC2); !r) return r;
        break;
      case 0xC3:
      case 0xC5:
      case 0xC6:
      case 0xC7:
      case 0xC9:
      case 0xCA:
      case 0xCB:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        return std::unexpected("unsupported JPEG process (lossless/arithmetic)");
      case 0xC4:
        if (auto r = read_huffman_tables(dec, payload); !r) return r;
        break;
      case 0xDB:
        if (auto r = read_quant_tables(dec, payload); !r) return r;
        break;
      case 0xDD:
        if (payload.size() < 2) return std::unexpected("bad DRI segment");
        dec.restart_interval = be16(payload.data());
        break;
      case 0xDA: {
        auto stop = read_scan(dec, data, end, payload);
        if (!stop) return std::unexpected(stop.error());
        next = *stop;
        break;
      }
      case 0xE0:
        if (payload.size() >= 4 && std::equal(payload.begin(), payload.begin() + 4, "JFIF")) dec.jfif = true;
        break;
      case 0xEE:
        if (payload.size() >= 12 && std::equal(payload.begin(), payload.begin() + 5, "Adobe")) {
          dec.adobe = true;
          dec.adobe_transform = payload[11];
        }
        break;
      default:
        break;
    }
    pos = next;
  }
}

}  // namespace

std::optional<JpegInfo> probe_jpeg(std::span<const uint8_t> data) {
  const size_t n = data.size();
  if (n < 6) return std::nullopt;
  size_t pos = 2;
  while (pos + 4 <= n) {
    if (data[pos] != 0xFF) {
      ++pos;
      continue;
    }
    const uint8_t m = data[pos + 1];
    if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      pos += 2;
    } else if (m == 0xFF) {
      pos += 1;
    } else if (m >= 0xC0 && m <= 0xC3 && pos + 9 < n) {
      JpegInfo info;
      info.width = be16(&data[pos + 7]);
      info.height = be16(&data[pos + 5]);
      info.components = data[pos + 9];
      info.progressive = m == 0xC2;
      return info;
    } else if (m == 0xD9 || m == 0xDA) {
      return std::nullopt;
    } else {
      pos += 2 + be16(&data[pos + 2]);
    }
  }
  return std::nullopt;
}

std::expected<ImageU8, std::string> decode_jpeg(std::span<const uint8_t> data, unsigned denominator) {
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::unexpected("not a JPEG");
  JpegDecoder dec;
  if (auto r = walk_markers(dec, data); !r) return std::unexpected(r.error());
  if (dec.components.empty() || dec.width == 0) return std::unexpected("no image in JPEG");
  return jpeg_reconstruct(dec, denominator);
}

}  // namespace tsl
