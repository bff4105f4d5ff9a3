#include "util/npy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/test_util.h"
#include "util/error.h"
#include "util/files.h"
#include "util/text.h"
#include "util/zipf.h"

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

// An npy file from its header text (padded and terminated here) and element bytes.
Bytes make_npy(const std::string& header, const Bytes& elems, int major = 1) {
  std::string h = header;
  const size_t pre = major == 1 ? 10 : 12;
  while ((pre + h.size() + 1) % 64 != 0) h += ' ';
  h += '\n';
  Bytes b = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<uint8_t>(major), 0};
  for (size_t k = 0; k < pre - 8; ++k) b.push_back(static_cast<uint8_t>(h.size() >> (8 * k)));
  b.insert(b.end(), h.begin(), h.end());
  b.insert(b.end(), elems.begin(), elems.end());
  return b;
}

std::string dict(const std::string& descr, const std::string& shape, const std::string& fortran = "False") {
  return "{'descr': '" + descr + "', 'fortran_order': " + fortran + ", 'shape': " + shape + ", }";
}

template <typename T>
Bytes le_bytes(std::initializer_list<T> values, bool big_endian = false) {
  Bytes b;
  for (T v : values) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    if (big_endian) std::reverse(raw, raw + sizeof(T));
    b.insert(b.end(), raw, raw + sizeof(T));
  }
  return b;
}

TEST(NpyWrite, HeaderLayout) {
  NpyArray a{std::vector<double>{1.5, -2.0, 3.25}, {3}};
  Bytes b = npy_write(a);
  const std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (3,), }";
  ASSERT_EQ(text.size(), 57u);
  ASSERT_EQ(b.size(), 128u + 24);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 10), (Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, 118, 0}));
  EXPECT_EQ(std::string(b.begin() + 10, b.begin() + 67), text);
  EXPECT_EQ(std::string(b.begin() + 67, b.begin() + 127), std::string(60, ' '));
  EXPECT_EQ(b[127], '\n');
  EXPECT_EQ(Bytes(b.begin() + 128, b.end()), le_bytes<double>({1.5, -2.0, 3.25}));

  struct Case {
    NpyArray array;
    std::string header_start;
  };
  const Case cases[] = {
      {{std::vector<double>{7}, {}}, "{'descr': '<f8', 'fortran_order': False, 'shape': (), }"},
      {{std::vector<float>(480 * 640), {480, 640}}, "{'descr': '<f4', 'fortran_order': False, 'shape': (480, 640), }"},
      {{std::vector<int32_t>{}, {0, 5}}, "{'descr': '<i4', 'fortran_order': False, 'shape': (0, 5), }"},
      {{std::vector<int16_t>{1, 2}, {1, 1, 2}}, "{'descr': '<i2', 'fortran_order': False, 'shape': (1, 1, 2), }"},
      {{std::vector<std::string>{"ab", ""}, {2}}, "{'descr': '<U2', 'fortran_order': False, 'shape': (2,), }"},
      {{std::vector<std::string>{"", ""}, {2}}, "{'descr': '<U1', 'fortran_order': False, 'shape': (2,), }"},
      {{std::vector<std::string>{}, {0}}, "{'descr': '<U1', 'fortran_order': False, 'shape': (0,), }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header_start);
    Bytes w = npy_write(c.array);
    const size_t h = w[8] | w[9] << 8;
    EXPECT_EQ((10 + h) % 64, 0u);
    EXPECT_EQ(std::string(w.begin() + 10, w.begin() + 10 + static_cast<ptrdiff_t>(c.header_start.size())), c.header_start);
  }
  // ab and the empty string: two cells of two code points each.
  Bytes s = npy_write({std::vector<std::string>{"ab", ""}, {2}});
  EXPECT_EQ(Bytes(s.begin() + 128, s.end()), le_bytes<uint32_t>({'a', 'b', 0, 0}));
}

TEST(NpyWrite, ElementCountMustMatchTheShape) {
  EXPECT_THROW(npy_write({std::vector<double>{1, 2}, {3}}), InternalError);
}

TEST(NpyRead, RoundTripsEveryElementType) {
  const NpyArray arrays[] = {
      {std::vector<double>{0.1, -1e300, 5e-324}, {3}},
      {std::vector<double>{42}, {}},
      {std::vector<float>{1.f, -0.5f, 3.f, 4.f, 5.f, 6.f}, {2, 3}},
      {std::vector<int32_t>{INT32_MIN, 0, INT32_MAX}, {3, 1}},
      {std::vector<int16_t>{-1, 2}, {2}},
      {std::vector<int16_t>{}, {0, 5}},
      {std::vector<std::string>{"DJI_0001.JPG", "", "Höhe €", "𝄞"}, {2, 2}},
  };
  for (const auto& a : arrays) {
    SCOPED_TRACE(a.data.index());
    auto back = npy_read(npy_write(a));
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(back->shape, a.shape);
    EXPECT_EQ(back->data, a.data);
  }
}

TEST(NpyRead, HeaderVariants) {
  struct Case {
    std::string name;
    Bytes file;
    NpyData want_data;
    std::vector<uint64_t> want_shape;
  };
  const Case cases[] = {
      {"long-integer shape pieces are skipped", make_npy(dict("<f8", "(2L, 3L)"), le_bytes<double>({9, 8})),
       std::vector<double>{9}, {}},
      {"one dimension", make_npy(dict("<f8", "(3,)"), le_bytes<double>({1, 2, 3})), std::vector<double>{1, 2, 3}, {3}},
      {"empty dimension", make_npy(dict("<i4", "(0, 5)"), {}), std::vector<int32_t>{}, {0, 5}},
      {"big-endian", make_npy(dict(">f8", "(2,)"), le_bytes<double>({1.5, -3}, true)), std::vector<double>{1.5, -3}, {2}},
      {"native order", make_npy(dict("=f8", "(1,)"), le_bytes<double>({2.5})), std::vector<double>{2.5}, {1}},
      {"no order", make_npy(dict("|f8", "(1,)"), le_bytes<double>({2.5})), std::vector<double>{2.5}, {1}},
      {"64-bit integers become doubles", make_npy(dict("<i8", "(2,)"), le_bytes<int64_t>({-7, (int64_t{1} << 53) + 1})),
       std::vector<double>{-7, 9007199254740992.0}, {2}},
      {"bytes", make_npy(dict("|u1", "(3,)"), {0, 128, 255}), std::vector<int32_t>{0, 128, 255}, {3}},
      {"booleans", make_npy(dict("|b1", "(2,)"), {1, 0}), std::vector<int32_t>{1, 0}, {2}},
      {"big-endian shorts", make_npy(dict(">i2", "(1,)"), {0x12, 0x34}), std::vector<int16_t>{0x1234}, {1}},
      {"texts end at a zero", make_npy(dict("<U3", "(3,)"), le_bytes<uint32_t>({'a', 0, 'x', 'b', 'c', 0, 'd', 'e', 'f'})),
       std::vector<std::string>{"a", "bc", "def"}, {3}},
      {"a code point that is no scalar value", make_npy(dict("<U2", "(1,)"), le_bytes<uint32_t>({0xD800, 0x110000})),
       std::vector<std::string>{"??"}, {1}},
      {"big-endian texts", make_npy(dict(">U1", "(1,)"), {0, 0, 0, 'z'}), std::vector<std::string>{"z"}, {1}},
      {"version 2 header", make_npy(dict("<i2", "(2,)"), le_bytes<int16_t>({5, 6}), 2), std::vector<int16_t>{5, 6}, {2}},
      {"trailing bytes", make_npy(dict("<f4", "(1,)"), le_bytes<float>({1, 2})), std::vector<float>{1}, {1}},
      {"shape before descr, odd spacing", make_npy("{'shape': ( 2 , ), 'fortran_order': False, 'descr': '<i4'}",
                                                   le_bytes<int32_t>({3, 4})),
       std::vector<int32_t>{3, 4}, {2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = npy_read(c.file);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(got->data, c.want_data);
    EXPECT_EQ(got->shape, c.want_shape);
  }
}

TEST(NpyRead, RefusesWhatItCannotRead) {
  Bytes header_past_end = make_npy(dict("<f8", "(1,)"), le_bytes<double>({1}));
  header_past_end[8] = 0xFF;
  const std::string huge = "(4294967296, 4294967296)";
  struct Case {
    std::string name;
    Bytes file;
    std::string message;
  };
  const Case cases[] = {
      {"too short", {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, 0}, "not an npy array"},
      {"wrong magic", {0x93, 'N', 'U', 'M', 'P', 'X', 1, 0, 0, 0}, "not an npy array"},
      {"no descr", make_npy("{'shape': (1,), }", le_bytes<double>({1})), "npy descr"},
      {"descr without quotes", make_npy("{'shape': (1,), 'descr': f8}", le_bytes<double>({1})), "npy descr"},
      {"empty descr", make_npy(dict("", "(1,)"), le_bytes<double>({1})), "npy descr"},
      {"fortran order", make_npy(dict("<f8", "(2,)", "True"), le_bytes<double>({1, 2})), "fortran-order npy not supported"},
      {"unsigned shorts", make_npy(dict("<u2", "(1,)"), {0, 0}), "npy dtype u2 not supported"},
      {"signed bytes", make_npy(dict("|i1", "(1,)"), {0}), "npy dtype i1 not supported"},
      {"one-character descr", make_npy(dict("<", "(1,)"), {0}), "npy dtype  not supported"},
      {"header past the end", header_past_end, "truncated npy header"},
      {"version 2 without its length", {0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0, 0, 0}, "truncated npy header"},
      {"shape product overflows", make_npy(dict("<f8", huge), {}), "npy shape too large"},
      {"shape larger than the data", make_npy(dict("<f8", "(1000000000000,)"), le_bytes<double>({1})),
       "truncated npy data"},
      {"data cut inside an element", make_npy(dict("<i4", "(2,)"), {1, 0, 0, 0, 2, 0}), "truncated npy data"},
      {"texts cut inside a code point", make_npy(dict("<U2", "(1,)"), {'a', 0, 0, 0, 'b'}), "truncated npy data"},
      {"many zero-width texts", make_npy(dict("<U0", "(1000000000000,)"), {}), "truncated npy data"},
      {"text width overflows", make_npy(dict("<U9223372036854775807", "(1,)"), {}), "npy shape too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = npy_read(c.file);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), c.message);
  }
}

TEST(NpyRead, RandomDamageNeverCrashes) {
  const Bytes good = npy_write({std::vector<std::string>{"alpha", "beta", "gamma"}, {3}});
  const Bytes good2 = npy_write({std::vector<double>(20, 1.0), {4, 5}});
  std::mt19937 rng(8);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = round % 2 ? good : good2;
    for (int k = 0; k < 2; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (round % 3 == 0) b.resize(rng() % b.size());
    (void)npy_read(b);
  }
}

TEST(NpyToF64, WidensNumbersAndDropsTexts) {
  EXPECT_EQ(npy_to_f64({std::vector<int16_t>{-1, 2}, {2}}), (std::vector<double>{-1.0, 2.0}));
  EXPECT_EQ(npy_to_f64({std::vector<float>{0.1f}, {1}}), (std::vector<double>{static_cast<double>(0.1f)}));
  EXPECT_EQ(npy_to_f64({std::vector<int32_t>{INT32_MIN}, {}}), (std::vector<double>{-2147483648.0}));
  EXPECT_TRUE(npy_to_f64({std::vector<std::string>{"1"}, {1}}).empty());
}

// --- npz -----------------------------------------------------------------------------------

TEST(Npz, NamesAndOrderOfMembers) {
  test::TempDir dir;
  auto path = dir / "names.npz";
  {
    auto w = ZipWriter::create(path);
    ASSERT_TRUE(w.has_value());
    const Bytes one = npy_write({std::vector<int32_t>{1}, {}});
    for (const char* name : {"z0.npy", "Z.npy", "a.npy.npy", ".npy", "plain"}) ASSERT_TRUE(w->add(name, one, true).has_value());
    ASSERT_TRUE(w->finish().has_value());
  }
  auto got = read_npz(path);
  ASSERT_TRUE(got.has_value()) << got.error();
  std::vector<std::string> names;
  for (const auto& [name, array] : *got) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"z0", "Z", "a", "", "plain"}));
}

TEST(Npz, ErrorsOfTheLayersBelow) {
  test::TempDir dir;
  auto missing = read_npz(dir / "missing.npz");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), os_error_text(ENOENT));

  auto text_member = dir / "text.npz";
  {
    auto w = ZipWriter::create(text_member);
    ASSERT_TRUE(w->add("a.npy", npy_write({std::vector<double>{1}, {}}), true).has_value());
    const std::string text = "not an array";
    ASSERT_TRUE(w->add("notes.txt", Bytes(text.begin(), text.end()), false).has_value());
    ASSERT_TRUE(w->finish().has_value());
  }
  auto got = read_npz(text_member);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "not an npy array");

  test::write_file_text(dir / "junk.npz", "junk");
  EXPECT_EQ(read_npz(dir / "junk.npz").error(), "not a zip file");
  EXPECT_FALSE(write_npz(dir / "no" / "dir.npz", {}).has_value());
}

TEST(Npz, RoundTrip) {
  test::TempDir dir;
  const std::vector<NamedArray> arrays = {
      {"z", {std::vector<float>(1000, 12.5f), {25, 40}}},
      {"mask", {std::vector<int16_t>{0, 1, 1, 0}, {2, 2}}},
      {"cell", {std::vector<double>{0.5}, {}}},
      {"names", {std::vector<std::string>{"DJI_0001.JPG", "DJI_0002.JPG"}, {2}}},
      {"labels", {std::vector<int32_t>(300, -1), {300}}},
  };
  ASSERT_TRUE(write_npz(dir / "r.npz", arrays).has_value());
  auto back = read_npz(dir / "r.npz");
  ASSERT_TRUE(back.has_value()) << back.error();
  ASSERT_EQ(back->size(), arrays.size());
  for (size_t k = 0; k < arrays.size(); ++k) {
    EXPECT_EQ((*back)[k].first, arrays[k].first);
    EXPECT_EQ((*back)[k].second.shape, arrays[k].second.shape);
    EXPECT_EQ((*back)[k].second.data, arrays[k].second.data);
  }
}

// --- numpy as the outside oracle ---------------------------------------------------------

class NumpyOracle : public ::testing::Test {
 protected:
  void SetUp() override { TSL_REQUIRE_PYTHON("numpy"); }
  test::CommandResult python(const std::string& script) {
    test::write_file_text(dir / "t.py", script);
    return test::run_command(test::python3() + " " + test::shell_quote((dir / "t.py").string()) + " " +
                             test::shell_quote(dir.path().string()));
  }
  test::TempDir dir;
};

TEST_F(NumpyOracle, NumpyLoadsOurFiles) {
  const std::vector<NamedArray> arrays = {
      {"f64", {std::vector<double>{0.1, -2.5, 1e300, -0.0, 7, 8}, {2, 3}}},
      {"f32", {std::vector<float>{1.25f, -3.5f}, {2}}},
      {"i32", {std::vector<int32_t>{INT32_MIN, -1, 0, INT32_MAX}, {2, 1, 2}}},
      {"i16", {std::vector<int16_t>{-32768, 32767, 5}, {3}}},
      {"scalar", {std::vector<double>{3.5}, {}}},
      {"empty", {std::vector<double>{}, {0, 4}}},
      {"text", {std::vector<std::string>{"DJI_0001.JPG", "", "Ünïcödé €", "𝄞x"}, {2, 2}}},
  };
  for (const auto& [name, array] : arrays) test::write_file_bytes(dir / (name + ".npy"), npy_write(array));
  ASSERT_TRUE(write_npz(dir / "all.npz", arrays).has_value());
  auto r = python(R"(
import sys, os, numpy as np
d = sys.argv[1]
want = {
  'f64': (np.array([[0.1, -2.5, 1e300], [-0.0, 7, 8]], '<f8')),
  'f32': np.array([1.25, -3.5], '<f4'),
  'i32': np.array([-2**31, -1, 0, 2**31 - 1], '<i4').reshape(2, 1, 2),
  'i16': np.array([-32768, 32767, 5], '<i2'),
  'scalar': np.array(3.5),
  'empty': np.zeros((0, 4)),
  'text': np.array([['DJI_0001.JPG', ''], ['\u00dcn\u00efc\u00f6d\u00e9 \u20ac', '\U0001d11ex']]),
}
bad = []
def check(name, a):
    w = want[name]
    if a.dtype != w.dtype or a.shape != w.shape or not np.array_equal(a, w) or a.dtype.byteorder not in '<|=':
        bad.append('%s: %r %r %r' % (name, a.dtype, a.shape, a))
    if name == 'f64' and not np.signbit(a[1, 0]): bad.append('f64: lost -0.0')
for name in want:
    check(name, np.load(os.path.join(d, name + '.npy')))
z = np.load(os.path.join(d, 'all.npz'))
if list(z.keys()) != list(want.keys()): bad.append('npz keys %r' % list(z.keys()))
for name in want: check(name, z[name])
print('\n'.join(bad) if bad else 'ok')
)");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(NumpyOracle, WeReadNumpysFiles) {
  auto r = python(R"(
import sys, os, numpy as np
d = sys.argv[1]
arrays = {
  'f8': np.arange(12, dtype='<f8').reshape(3, 4) / 4,
  'f4': np.arange(5, dtype='<f4') - 2.5,
  'i4': np.arange(-3, 3, dtype='<i4').reshape(2, 3),
  'i2': np.array([-300, 300], '<i2'),
  'i8': np.array([-(2**40), 2**40 + 1], '<i8'),
  'u1': np.array([0, 7, 255], 'u1'),
  'bool': np.array([True, False, True]),
  'text': np.array(['a', 'bc', 'def\u00e9']),
  'bigf8': np.array([1.5, -2.25], '>f8'),
  'bigi4': np.array([1, -2], '>i4'),
  'scalar': np.array(2.5),
  'empty': np.zeros((0, 3), '<f4'),
}
for name, a in arrays.items(): np.save(os.path.join(d, name + '.npy'), a)
np.savez(os.path.join(d, 'plain.npz'), **arrays)
np.savez_compressed(os.path.join(d, 'compressed.npz'), **arrays)
np.save(os.path.join(d, 'fortran.npy'), np.asfortranarray(np.arange(6.0).reshape(2, 3)))
)");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  struct Want {
    std::string name;
    NpyData data;
    std::vector<uint64_t> shape;
  };
  const Want want[] = {
      {"f8", std::vector<double>{0, 0.25, 0.5, 0.75, 1, 1.25, 1.5, 1.75, 2, 2.25, 2.5, 2.75}, {3, 4}},
      {"f4", std::vector<float>{-2.5f, -1.5f, -0.5f, 0.5f, 1.5f}, {5}},
      {"i4", std::vector<int32_t>{-3, -2, -1, 0, 1, 2}, {2, 3}},
      {"i2", std::vector<int16_t>{-300, 300}, {2}},
      {"i8", std::vector<double>{-1099511627776.0, 1099511627777.0}, {2}},
      {"u1", std::vector<int32_t>{0, 7, 255}, {3}},
      {"bool", std::vector<int32_t>{1, 0, 1}, {3}},
      {"text", std::vector<std::string>{"a", "bc", "def\xC3\xA9"}, {3}},
      {"bigf8", std::vector<double>{1.5, -2.25}, {2}},
      {"bigi4", std::vector<int32_t>{1, -2}, {2}},
      {"scalar", std::vector<double>{2.5}, {}},
      {"empty", std::vector<float>{}, {0, 3}},
  };
  auto plain = read_npz(dir / "plain.npz");
  auto compressed = read_npz(dir / "compressed.npz");
  ASSERT_TRUE(plain.has_value()) << plain.error();
  ASSERT_TRUE(compressed.has_value()) << compressed.error();
  ASSERT_EQ(plain->size(), std::size(want));
  ASSERT_EQ(compressed->size(), std::size(want));
  for (size_t k = 0; k < std::size(want); ++k) {
    const Want& w = want[k];
    SCOPED_TRACE(w.name);
    auto single = npy_read(test::read_file_bytes(dir / (w.name + ".npy")));
    ASSERT_TRUE(single.has_value()) << single.error();
    for (const NpyArray* a : {&*single, &(*plain)[k].second, &(*compressed)[k].second}) {
      EXPECT_EQ(a->data, w.data);
      EXPECT_EQ(a->shape, w.shape);
    }
    EXPECT_EQ((*plain)[k].first, w.name);
    EXPECT_EQ((*compressed)[k].first, w.name);
  }
  auto fortran = npy_read(test::read_file_bytes(dir / "fortran.npy"));
  ASSERT_FALSE(fortran.has_value());
  EXPECT_EQ(fortran.error(), "fortran-order npy not supported");
}

}  // namespace
}  // namespace tsl
