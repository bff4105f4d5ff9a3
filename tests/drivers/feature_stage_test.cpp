#include "drivers/feature_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/disk_cache.h"
#include "support/py_oracle.h"
#include "meta/meta_reader.h"
#include "support/log_capture.h"
#include "sift/binary16.h"
#include "sift/feature_record.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// --- cache records ---------------------------------------------------------------------

FeatureSet small_set() {
  FeatureSet f;
  f.kp_m = {{10.25, 20.5}, {1.0 / 3.0, 7.0}};
  for (const Vec2& m : f.kp_m) f.kp.push_back({(m.x + 0.5) / 0.5 - 0.5, (m.y + 0.5) / 0.5 - 0.5});
  for (size_t i = 0; i < 256; ++i) f.desc.push_back(round_to_binary16(static_cast<float>(i % 17) / 16.0f));
  f.thumb_w = 4;
  f.thumb_h = 2;
  for (size_t i = 0; i < 24; ++i) f.thumb.push_back(round_to_binary16(static_cast<float>(i) / 23.0f));
  f.work_h = 300;
  f.work_w = 400;
  f.tsc = {0.01, 0.01};
  f.msc = {0.5, 0.5};
  return f;
}

// The point at single precision, as the record keeps it. Through memory: GCC 12 at -O2 drops
// a double -> float -> double round trip made inside an aggregate initialisation.
Vec2 single(Vec2 p) {
  volatile float x = static_cast<float>(p.x), y = static_cast<float>(p.y);
  return Vec2{x, y};
}

void expect_same(const FeatureSet& a, const FeatureSet& b) {
  ASSERT_EQ(a.kp.size(), b.kp.size());
  for (size_t i = 0; i < a.kp.size(); ++i) {
    EXPECT_EQ(a.kp[i].x, b.kp[i].x);
    EXPECT_EQ(a.kp[i].y, b.kp[i].y);
    EXPECT_EQ(a.kp_m[i].x, b.kp_m[i].x);
    EXPECT_EQ(a.kp_m[i].y, b.kp_m[i].y);
  }
  EXPECT_EQ(a.desc, b.desc);
  EXPECT_EQ(a.thumb, b.thumb);
  EXPECT_EQ(a.thumb_w, b.thumb_w);
  EXPECT_EQ(a.thumb_h, b.thumb_h);
  EXPECT_EQ(a.work_w, b.work_w);
  EXPECT_EQ(a.work_h, b.work_h);
  EXPECT_EQ(a.tsc.x, b.tsc.x);
  EXPECT_EQ(a.tsc.y, b.tsc.y);
  EXPECT_EQ(a.msc.x, b.msc.x);
  EXPECT_EQ(a.msc.y, b.msc.y);
}

// Positions come back rounded to single precision; everything else unchanged.
TEST(FeatureRecord, RoundTrip) {
  const FeatureSet f = small_set();
  auto back = decode_feature_record(encode_feature_record(f));
  ASSERT_TRUE(back.has_value());
  FeatureSet rounded = f;
  for (Vec2& p : rounded.kp) p = single(p);
  for (Vec2& p : rounded.kp_m) p = single(p);
  expect_same(*back, rounded);
  EXPECT_EQ(back->channels, 3u);
  std::vector<std::string> names;
  for (const CacheEntry& e : encode_feature_record(f).entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"kp", "kp_m", "desc", "hw", "thumb", "thumb_wh", "tsc", "msc"}));
}

// A record whose entries disagree is a miss, so that the photo is extracted again instead of
// handing matching lists of different lengths.
TEST(FeatureRecord, InconsistentRecordsAreMisses) {
  const CacheRecord good = encode_feature_record(small_set());
  auto replace = [&](const std::string& name, CacheEntry entry) {
    CacheRecord r;
    for (const CacheEntry& e : good.entries) r.entries.push_back(e.name == name ? entry : e);
    return r;
  };
  auto f32s = [](const std::string& name, size_t n) {
    CacheRecord r;
    r.put_f32s(name, std::vector<float>(n, 1.0f));
    return r.entries[0];
  };
  auto u16s = [](const std::string& name, size_t n) {
    CacheRecord r;
    r.put_u16s(name, std::vector<uint16_t>(n, 0));
    return r.entries[0];
  };
  auto f64s = [](const std::string& name, std::vector<double> v) {
    CacheEntry e{name, 3, std::vector<uint8_t>(v.size() * 8)};
    std::memcpy(e.data.data(), v.data(), e.data.size());
    return e;
  };
  struct Case {
    std::string name;
    CacheRecord record;
  };
  CacheRecord missing_msc = good;
  missing_msc.entries.pop_back();
  CacheRecord truncated_desc = good;
  truncated_desc.entries[2].data.resize(truncated_desc.entries[2].data.size() - 1);
  const std::vector<Case> cases = {
      {"kp shorter than kp_m", replace("kp", f32s("kp", 2))},
      {"kp_m longer than kp", replace("kp_m", f32s("kp_m", 6))},
      {"odd number of kp values", replace("kp", f32s("kp", 3))},
      {"desc not 128 per keypoint", replace("desc", u16s("desc", 255))},
      {"thumb not w x h x 3", replace("thumb", u16s("thumb", 23))},
      {"thumb_wh with three values", replace("thumb_wh", f64s("thumb_wh", {4, 2, 1}))},
      {"thumb width 0", replace("thumb_wh", f64s("thumb_wh", {0, 2}))},
      {"hw with one value", replace("hw", f64s("hw", {300}))},
      {"msc missing", missing_msc},
      {"desc not whole elements", truncated_desc},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decode_feature_record(c.record).has_value());
  }
}

// Regression: records that parse but hold values no extraction gives were used as hits: NaN
// or out-of-photo keypoints lost the photo its ties, a NaN thumbnail scale gave it a gain of
// 1.85. Each such record is a miss.
TEST(FeatureRecord, ValuesNoExtractionGivesAreMisses) {
  // small_set belongs to an 800 x 600 photo: working scale 0.5, a 4 x 2 thumbnail.
  ImageMeta photo;
  photo.width = 800;
  photo.height = 600;
  FeatureSet base = small_set();
  base.tsc = {4.0 / 800.0, 2.0 / 600.0};
  const float nan = std::nanf("");
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string name;
    std::function<void(FeatureSet&)> damage;
    bool decodes;  // the record parses and holds sane values, but not for this photo
  };
  const std::vector<Case> cases = {
      {"NaN keypoint", [&](FeatureSet& f) { f.kp[1].y = nan; }, false},
      {"infinite working keypoint", [&](FeatureSet& f) { f.kp_m[0].x = inf; }, false},
      {"NaN descriptor value", [&](FeatureSet& f) { f.desc[130] = nan; }, false},
      {"descriptor value above 1", [&](FeatureSet& f) { f.desc[5] = 2.0f; }, false},
      {"NaN thumbnail value", [&](FeatureSet& f) { f.thumb[3] = nan; }, false},
      {"negative thumbnail value", [&](FeatureSet& f) { f.thumb[3] = -0.5f; }, false},
      {"NaN thumbnail scale", [&](FeatureSet& f) { f.tsc.x = std::nan(""); }, false},
      {"zero working scale", [&](FeatureSet& f) { f.msc.y = 0.0; }, false},
      {"negative working scale", [&](FeatureSet& f) { f.msc.x = -0.5; }, false},
      {"no working image", [&](FeatureSet& f) { f.work_w = 0; }, false},
      {"keypoint right of the photo", [&](FeatureSet& f) { f.kp[0].x = 800.0; }, true},
      {"keypoint above the photo", [&](FeatureSet& f) { f.kp[1].y = -1.0; }, true},
      {"working keypoint below the working image", [&](FeatureSet& f) { f.kp_m[0].y = 300.0; }, true},
      {"thumbnail scale of another photo", [&](FeatureSet& f) { f.tsc.x *= 10.0; }, true},
      {"working scale of another photo", [&](FeatureSet& f) { f.msc = {0.25, 0.25}; }, true},
  };
  auto back = decode_feature_record(encode_feature_record(base));
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(features_fit_photo(*back, photo));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FeatureSet f = base;
    c.damage(f);
    auto decoded = decode_feature_record(encode_feature_record(f));
    ASSERT_EQ(decoded.has_value(), c.decodes);
    if (decoded) {
      EXPECT_FALSE(features_fit_photo(*decoded, photo));
    }
  }
}

TEST(FeatureRecord, LensTextOfTheKey) {
  ImageMeta m;
  EXPECT_EQ(feature_lens_text(m), "()");
  m.lens_ops.push_back(VignOp{});
  EXPECT_EQ(feature_lens_text(m), "('vign',)");
  m.lens_ops.insert(m.lens_ops.begin(), WarpOp{});
  EXPECT_EQ(feature_lens_text(m), "('warp', 'vign')");
}

// --- the stage -------------------------------------------------------------------------

// The first three photos of the bundled sample flight (1200 x 900) with a private cache,
// worked on at half size to keep the tests quick.
class FeatureStage : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"}) {
      auto m = read_image_meta(test::source_dir() / "samples/flight" / name, std::nullopt, ProcessedMode::Auto);
      ASSERT_TRUE(m.has_value()) << m.error();
      photos.push_back(std::move(*m));
    }
    configure_disk_cache((dir / "cache").string(), 1.0);
  }
  void TearDown() override { configure_disk_cache(std::nullopt, 20.0); }

  SiftOptions options(uint64_t workers, uint64_t match_px = 600) const {
    SiftOptions o;
    o.workers = workers;
    o.match_px = match_px;
    o.features = 1000;
    return o;
  }

  std::vector<FeatureSet> run(const SiftOptions& c, std::vector<std::string>* lines = nullptr) const {
    test::LogCapture log;
    auto r = extract_all_features(photos, c);
    EXPECT_TRUE(r.has_value()) << r.error();
    if (lines) *lines = log.lines();
    return r ? std::move(*r) : std::vector<FeatureSet>{};
  }

  size_t record_count() const {
    if (!fs::exists(dir / "cache" / "features")) return 0;
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / "cache" / "features")) n += e.is_regular_file();
    return n;
  }

  test::TempDir dir;
  std::vector<ImageMeta> photos;
};

TEST_F(FeatureStage, SecondBuildReadsTheCacheAndGetsTheSameFeatures) {
  std::vector<std::string> lines;
  const std::vector<FeatureSet> first = run(options(3), &lines);
  EXPECT_EQ(lines, std::vector<std::string>{"  features 3/3"});
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(record_count(), 3u);
  const std::vector<FeatureSet> second = run(options(3), &lines);
  EXPECT_EQ(lines, std::vector<std::string>{"  features: 3/3 from cache"});
  ASSERT_EQ(second.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    FeatureSet rounded = first[i];
    for (Vec2& p : rounded.kp) p = single(p);
    expect_same(second[i], rounded);
  }
}

TEST_F(FeatureStage, SizesScalesAndPositions) {
  struct Case {
    uint64_t match_px;
    uint32_t work_w, work_h, thumb_w, thumb_h;
  };
  // 600: decoded at half size and used as loaded; 300: at a quarter, the thumbnail enlarged.
  for (const Case c : {Case{600, 600, 450, 480, 360}, Case{300, 300, 225, 480, 360}}) {
    SCOPED_TRACE(c.match_px);
    const std::vector<FeatureSet> sets = run(options(2, c.match_px));
    ASSERT_EQ(sets.size(), 3u);
    for (const FeatureSet& f : sets) {
      EXPECT_EQ(f.work_w, c.work_w);
      EXPECT_EQ(f.work_h, c.work_h);
      EXPECT_EQ(f.thumb_w, c.thumb_w);
      EXPECT_EQ(f.thumb_h, c.thumb_h);
      EXPECT_EQ(f.thumb.size(), size_t{c.thumb_w} * c.thumb_h * 3);
      EXPECT_DOUBLE_EQ(f.msc.x, c.work_w / 1200.0);
      EXPECT_DOUBLE_EQ(f.tsc.y, c.thumb_h / 900.0);
      ASSERT_GT(f.kp.size(), 100u);
      EXPECT_EQ(f.kp_m.size(), f.kp.size());
      EXPECT_EQ(f.desc.size(), f.kp.size() * 128);
      for (size_t i = 0; i < f.kp.size(); ++i) {
        EXPECT_EQ(f.kp[i].x, (f.kp_m[i].x + 0.5) / f.msc.x - 0.5);
        EXPECT_EQ(f.kp[i].y, (f.kp_m[i].y + 0.5) / f.msc.y - 0.5);
      }
      for (float v : f.thumb) EXPECT_TRUE(v >= 0.0f && v <= 1.0f && round_to_binary16(v) == v);
    }
  }
}

TEST_F(FeatureStage, OneWorkerAndManyGiveTheSameFeatures) {
  configure_disk_cache(std::nullopt, 0.0);
  std::vector<std::string> lines;
  const std::vector<FeatureSet> one = run(options(1), &lines);
  EXPECT_EQ(lines, std::vector<std::string>{"  features 3/3"});
  const std::vector<FeatureSet> many = run(options(8));
  ASSERT_EQ(one.size(), many.size());
  for (size_t i = 0; i < one.size(); ++i) expect_same(one[i], many[i]);
  EXPECT_EQ(record_count(), 0u);
}

// A record with a three-value "thumb_wh" is a miss: extracted again and rewritten.
TEST_F(FeatureStage, DamagedRecordIsExtractedAgain) {
  const std::vector<FeatureSet> first = run(options(2));
  auto key = feature_cache_key(photos[1], 600, 1000);
  ASSERT_TRUE(key.has_value());
  CacheRecord damaged = encode_feature_record(first[1]);
  for (CacheEntry& e : damaged.entries)
    if (e.name == "thumb_wh") e.data.resize(24);
  cache_store("features", *key, damaged);
  std::vector<std::string> lines;
  const std::vector<FeatureSet> second = run(options(2), &lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"  features: 2/3 from cache", "  features 1/1"}));
  run(options(2), &lines);
  EXPECT_EQ(lines, std::vector<std::string>{"  features: 3/3 from cache"});
  EXPECT_EQ(second[1].desc, first[1].desc);
}

// A record with values no extraction of the photo gives is extracted again, counted as a miss,
// and replaced by a good one.
TEST_F(FeatureStage, RecordsWithImpossibleValuesAreExtractedAgain) {
  const std::vector<FeatureSet> first = run(options(2));
  auto key = feature_cache_key(photos[1], 600, 1000);
  ASSERT_TRUE(key.has_value());
  struct Case {
    const char* name;
    std::function<void(FeatureSet&)> damage;
  };
  const Case cases[] = {
      {"NaN thumbnail scale", [](FeatureSet& f) { f.tsc.y = std::nan(""); }},
      {"keypoint outside the photo", [](FeatureSet& f) { f.kp.back().x = 5000.0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FeatureSet damaged = first[1];
    c.damage(damaged);
    cache_store("features", *key, encode_feature_record(damaged));
    configure_disk_cache((dir / "cache").string(), 1.0);  // counters from 0
    std::vector<std::string> lines;
    const std::vector<FeatureSet> second = run(options(2), &lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"  features: 2/3 from cache", "  features 1/1"}));
    EXPECT_EQ(cache_stats().hits, 2u);
    EXPECT_EQ(cache_stats().misses, 1u);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[1].desc, first[1].desc);
    EXPECT_EQ(second[1].tsc.y, first[1].tsc.y);
    run(options(2), &lines);
    EXPECT_EQ(lines, std::vector<std::string>{"  features: 3/3 from cache"});
  }
}

// Two photos fail to load (indices 2 and 1): the stage returns photo 1's message after the
// others ran, and their records are stored.
TEST_F(FeatureStage, LowestFailedPhotoGivesTheError) {
  photos.push_back(photos[0]);
  photos[1].path = (dir / "gone_1.jpg").string();
  photos[2].path = (dir / "gone_2.jpg").string();
  test::write_file_text(dir / "gone_1.jpg", "not a jpeg");
  test::write_file_text(dir / "gone_2.jpg", "not a jpeg either");
  test::LogCapture log;
  auto r = extract_all_features(photos, options(3));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("gone_1.jpg"), std::string::npos) << r.error();
  EXPECT_EQ(record_count(), 1u);  // photos 0 and 3 are the same file
}

// The record file as numpy reads it: the entries, kinds and lengths of the format.
TEST_F(FeatureStage, RecordDecodedWithNumpy) {
  TSL_REQUIRE_PYTHON("numpy");
  photos.resize(1);
  const std::vector<FeatureSet> sets = run(options(1));
  auto key = feature_cache_key(photos[0], 600, 1000);
  ASSERT_TRUE(key.has_value());
  test::PyOracle py;
  const std::string path = cache_entry_path("features", *key).string();
  ASSERT_EQ(py.run("import struct\n"
                   "b = open(" + std::string("'") + path + "', 'rb').read()\n" + R"PY(
assert b[:4] == b'TSLC'
count, = struct.unpack_from('<I', b, 4)
pos = 8
ent = {}
names = []
for _ in range(count):
    L, = struct.unpack_from('<H', b, pos); pos += 2
    name = b[pos:pos + L].decode(); pos += L
    kind = b[pos]; pos += 1
    N, = struct.unpack_from('<Q', b, pos); pos += 8
    dt = {1: '<f2', 2: '<f4', 3: '<f8'}[kind]
    ent[name] = np.frombuffer(b[pos:pos + N], dtype=dt); pos += N
    names.append(name)
assert names == ['kp', 'kp_m', 'desc', 'hw', 'thumb', 'thumb_wh', 'tsc', 'msc'], names
n = len(ent['kp']) // 2
assert len(ent['kp']) == 2 * n and len(ent['kp_m']) == 2 * n and len(ent['desc']) == 128 * n
assert ent['desc'].min() >= 0 and ent['desc'].max() <= 1
tw, th = ent['thumb_wh']
assert len(ent['thumb']) == tw * th * 3
assert list(ent['hw']) == [450, 600] and list(ent['thumb_wh']) == [480, 360]
assert np.allclose(ent['tsc'], [0.4, 0.4]) and np.allclose(ent['msc'], [0.5, 0.5])
save('n', [n, float(np.abs(ent['desc'].astype(np.float64)).sum())])
)PY"),
            "");
  const std::vector<double> out = py.get("n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], static_cast<double>(sets[0].kp.size()));
  double sum = 0.0;
  for (float v : sets[0].desc) sum += v;
  EXPECT_NEAR(out[1], sum, 1e-6 * sum);
}

}  // namespace
}  // namespace tsl
