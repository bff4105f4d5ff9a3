#include "util/zipf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>

#include "support/test_util.h"
#include "util/byte_samples.h"
#include "util/deflate.h"
#include "util/files.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::Bytes;
using test::bytes_of;
using test::random_bytes;
using test::u16_at;
using test::u32_at;



void set32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

struct Member {
  std::string name;
  Bytes data;
  bool deflate;
};

std::vector<Member> sample_members() {
  std::string text;
  for (int k = 0; k < 2000; ++k) text += "line " + std::to_string(k % 37) + " of the build log\n";
  return {
      {"report.json", bytes_of("{\"ok\": true, \"tiles\": [1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3]}"), true},
      {"empty.txt", {}, true},
      {"log.txt", bytes_of(text), true},
      {"seams.jpg", random_bytes(5000, 1), false},
      {"noise.bin", random_bytes(3000, 2), true},  // deflate does not help: stored
      {"images/Ünïcode ß.jpg", bytes_of("jpeg bytes"), false},
  };
}

Bytes write_archive(const std::filesystem::path& path, const std::vector<Member>& members, std::vector<ZipEntry>* entries = nullptr) {
  auto w = ZipWriter::create(path);
  EXPECT_TRUE(w.has_value()) << w.error();
  for (const auto& m : members) {
    auto r = w->add(m.name, m.data, m.deflate);
    EXPECT_TRUE(r.has_value()) << r.error();
  }
  if (entries) *entries = w->entries;
  auto r = w->finish();
  EXPECT_TRUE(r.has_value()) << r.error();
  return test::read_file_bytes(path);
}

TEST(ZipWriter, RecordsMethodSizesAndCrcPerMember) {
  test::TempDir dir;
  auto members = sample_members();
  std::vector<ZipEntry> entries;
  write_archive(dir / "a.zip", members, &entries);
  ASSERT_EQ(entries.size(), members.size());
  const uint16_t methods[] = {8, 0, 8, 0, 0, 0};
  for (size_t k = 0; k < members.size(); ++k) {
    SCOPED_TRACE(members[k].name);
    EXPECT_EQ(entries[k].name, members[k].name);
    EXPECT_EQ(entries[k].method, methods[k]);
    EXPECT_EQ(entries[k].size, members[k].data.size());
    EXPECT_EQ(entries[k].crc32, crc32_bytes(members[k].data));
    if (methods[k] == 0) EXPECT_EQ(entries[k].compressed_size, entries[k].size);
    else EXPECT_LT(entries[k].compressed_size, entries[k].size);
  }
  EXPECT_EQ(entries[1].crc32, 0u);
  EXPECT_EQ(entries[0].offset, 0u);
  EXPECT_EQ(entries[1].offset, 30 + entries[0].name.size() + entries[0].compressed_size);
}

TEST(ZipWriter, EmptyArchiveIsTheBareEndRecord) {
  test::TempDir dir;
  Bytes z = write_archive(dir / "e.zip", {});
  Bytes want = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(z, want);
  auto back = read_zip_members(z);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_TRUE(back->empty());
}

TEST(ZipWriter, ReadsBackWhatItWrote) {
  test::TempDir dir;
  auto members = sample_members();
  auto back = read_zip_members(write_archive(dir / "a.zip", members));
  ASSERT_TRUE(back.has_value()) << back.error();
  ASSERT_EQ(back->size(), members.size());
  for (size_t k = 0; k < members.size(); ++k) {
    EXPECT_EQ((*back)[k].name, members[k].name);
    EXPECT_EQ((*back)[k].data, members[k].data) << members[k].name;
  }
}

// The members' sizes are checked against the limit before anything is inflated: a few bytes
// of deflate data can claim gigabytes.
TEST(ReadZipMembers, StopsAtTheContentLimit) {
  test::TempDir dir;
  const std::vector<Member> members = {{"a", std::vector<uint8_t>(600, 0), true}, {"b", std::vector<uint8_t>(400, 1), true}};
  const std::vector<uint8_t> archive = write_archive(dir / "a.zip", members);
  EXPECT_TRUE(read_zip_members(archive, 1000).has_value());
  auto over = read_zip_members(archive, 999);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), "zip content larger than 999 bytes");
}

TEST(ZipWriter, ReportsTheSystemsErrors) {
  test::TempDir dir;
  auto missing = ZipWriter::create(dir / "no" / "such" / "dir.zip");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), os_error_text(ENOENT));
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto w = ZipWriter::create("/dev/full");
  ASSERT_TRUE(w.has_value()) << w.error();
  std::string error;
  for (int k = 0; k < 4 && error.empty(); ++k) {  // the 8 KiB buffer hides the first writes
    auto r = w->add(format("m{}", k), random_bytes(10000, static_cast<uint32_t>(k)), false);
    if (!r) error = r.error();
  }
  if (error.empty()) {
    auto r = w->finish();
    ASSERT_FALSE(r.has_value());
    error = r.error();
  }
  EXPECT_EQ(error, os_error_text(ENOSPC));
}

// --- outside oracles -----------------------------------------------------------------------

// unzip -t and python's zipfile.testzip on an archive, and python's listing of names, sizes
// and CRCs, one "name size crc" line per member.
struct OracleResult {
  bool unzip_ok = false;
  std::string unzip_out;
  std::string python_out;
};

OracleResult check_with_outside_tools(const std::filesystem::path& zip) {
  OracleResult o;
  auto u = test::run_command("unzip -tq " + test::shell_quote(zip.string()));
  o.unzip_ok = u.exit_code == 0;
  o.unzip_out = u.out + u.err;
  auto p = test::run_command(test::python3() + " -c " + test::shell_quote(R"(
import sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
if bad is not None: print('bad member', bad); sys.exit(1)
for i in z.infolist():
    data = z.read(i)
    print(i.filename.encode('unicode_escape').decode(), len(data), zlib.crc32(data))
)") + " " + test::shell_quote(zip.string()));
  o.python_out = p.exit_code == 0 ? p.out : "python failed: " + p.out + p.err;
  return o;
}

std::string expected_listing(const std::vector<Member>& members) {
  // Names are compared through python's unicode_escape of the decoded name.
  std::string s;
  for (const auto& m : members) {
    std::string escaped;
    auto run = test::run_command(test::python3() + " -c " +
                                 test::shell_quote("import sys; print(sys.argv[1].encode('unicode_escape').decode())") +
                                 " " + test::shell_quote(m.name));
    escaped = run.out.substr(0, run.out.size() - 1);
    s += format("{} {} {}\n", escaped, m.data.size(), crc32_bytes(m.data));
  }
  return s;
}

TEST(ZipWriter, ArchivesPassUnzipAndPython) {
  TSL_REQUIRE_TOOL("unzip");
  TSL_REQUIRE_TOOL(test::python3());
  test::TempDir dir;
  auto members = sample_members();
  write_archive(dir / "a.zip", members);
  auto o = check_with_outside_tools(dir / "a.zip");
  EXPECT_TRUE(o.unzip_ok) << o.unzip_out;
  EXPECT_EQ(o.python_out, expected_listing(members));
}

// 65535 members need the zip64 end records; 65534 do not.
TEST(ZipWriter, MemberCountsAtTheZip64Limit) {
  TSL_REQUIRE_TOOL("unzip");
  TSL_REQUIRE_TOOL(test::python3());
  test::TempDir dir;
  for (size_t count : {65534u, 65535u, 65536u}) {
    SCOPED_TRACE(count);
    auto path = dir / format("m{}.zip", count);
    {
      auto w = ZipWriter::create(path);
      ASSERT_TRUE(w.has_value());
      for (size_t k = 0; k < count; ++k) {
        std::string body = std::to_string(k * 7919);
        ASSERT_TRUE(w->add(format("f{}", k), bytes_of(body), k % 1000 == 0).has_value());
      }
      ASSERT_TRUE(w->finish().has_value());
    }
    Bytes z = test::read_file_bytes(path);
    const size_t end = z.size() - 22;
    ASSERT_EQ(u32_at(z, end), 0x06054B50u);
    const bool zip64 = count >= 65535;
    EXPECT_EQ(u16_at(z, end + 10), zip64 ? 0xFFFF : count);
    EXPECT_EQ(u32_at(z, end + 16) == 0xFFFFFFFFu, zip64);
    EXPECT_EQ(u32_at(z, end - 20) == 0x07064B50u, zip64);
    if (zip64) {
      const size_t end64 = static_cast<size_t>(u32_at(z, end - 12));
      EXPECT_EQ(u32_at(z, end64), 0x06064B50u);
      EXPECT_EQ(u32_at(z, end64 + 32), count);
    }
    auto back = read_zip_members(z);
    ASSERT_TRUE(back.has_value()) << back.error();
    ASSERT_EQ(back->size(), count);
    EXPECT_EQ((*back)[count - 1].name, format("f{}", count - 1));
    EXPECT_EQ((*back)[count - 1].data, bytes_of(std::to_string((count - 1) * 7919)));
    auto u = test::run_command("unzip -tq " + test::shell_quote(path.string()));
    EXPECT_EQ(u.exit_code, 0) << u.out << u.err;
    if (count != 65536) continue;  // python takes seconds per archive: once is enough
    auto p = test::run_command(test::python3() + " -c " +
                               test::shell_quote("import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                                 "print(z.testzip(), len(z.infolist()))") +
                               " " + test::shell_quote(path.string()));
    EXPECT_EQ(p.out, format("None {}\n", count)) << p.err;
  }
}

// A member of 4 GiB - 1 bytes and one whose local header lies past 4 GiB. Needs about 9 GB
// of disk and 4 GB of memory, and a minute: opt-in.
TEST(ZipWriter, ArchiveBeyondFourGigabytes) {
  if (!std::getenv("TSL_SLOW_TESTS")) GTEST_SKIP() << "set TSL_SLOW_TESTS=1 to run";
  TSL_REQUIRE_TOOL("unzip");
  TSL_REQUIRE_TOOL(test::python3());
  test::TempDir dir;
  auto path = dir / "big.zip";
  std::vector<ZipEntry> entries;
  {
    auto w = ZipWriter::create(path);
    ASSERT_TRUE(w.has_value());
    Bytes huge(0xFFFFFFFFu, 0);
    for (size_t k = 0; k < huge.size(); k += 4096) huge[k] = static_cast<uint8_t>(k >> 12);
    ASSERT_TRUE(w->add("huge.bin", huge, false).has_value());
    huge = Bytes();
    ASSERT_TRUE(w->add("after.txt", bytes_of("past four gigabytes"), true).has_value());
    entries = w->entries;
    ASSERT_TRUE(w->finish().has_value());
  }
  EXPECT_EQ(entries[0].size, 0xFFFFFFFFu);
  EXPECT_GE(entries[1].offset, 0xFFFFFFFFu);
  auto o = check_with_outside_tools(path);
  EXPECT_TRUE(o.unzip_ok) << o.unzip_out;
  EXPECT_NE(o.python_out.find("after.txt 19 "), std::string::npos) << o.python_out;
  EXPECT_NE(o.python_out.find("huge.bin 4294967295 "), std::string::npos) << o.python_out;
}

// --- reader ------------------------------------------------------------------------------

TEST(ReadZipMembers, ReadsPythonArchives) {
  TSL_REQUIRE_TOOL(test::python3());
  test::TempDir dir;
  auto r = test::run_command(test::python3() + " -c " + test::shell_quote(R"(
import sys, os, zipfile
d = sys.argv[1]
def make(name, comment=b'', force64=False, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(os.path.join(d, name), 'w', method) as z:
        z.writestr('a.txt', b'alpha ' * 100)
        z.writestr('dir/b.bin', bytes(range(256)) * 3, compress_type=zipfile.ZIP_STORED)
        with z.open('c.txt', 'w', force_zip64=force64) as f:
            f.write(b'gamma' * 1000)
        z.comment = comment
make('plain.zip')
make('comment.zip', b'a comment with PK\x05\x06 inside')
make('longcomment.zip', b'x' * 65535)
make('force64.zip', force64=True)
make('bzip2.zip', method=zipfile.ZIP_BZIP2)
)") + " " + test::shell_quote(dir.path().string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* name : {"plain.zip", "comment.zip", "longcomment.zip", "force64.zip"}) {
    SCOPED_TRACE(name);
    auto back = read_zip_members(test::read_file_bytes(dir / name));
    ASSERT_TRUE(back.has_value()) << back.error();
    ASSERT_EQ(back->size(), 3u);
    EXPECT_EQ((*back)[0].name, "a.txt");
    std::string alpha;
    for (int k = 0; k < 100; ++k) alpha += "alpha ";
    EXPECT_EQ((*back)[0].data, bytes_of(alpha));
    EXPECT_EQ((*back)[1].name, "dir/b.bin");
    EXPECT_EQ((*back)[1].data.size(), 768u);
    EXPECT_EQ((*back)[1].data[255], 255);
    EXPECT_EQ((*back)[2].data.size(), 5000u);
  }
  auto bz = read_zip_members(test::read_file_bytes(dir / "bzip2.zip"));
  ASSERT_FALSE(bz.has_value());
  EXPECT_EQ(bz.error(), "zip method 12 not supported");
}

TEST(ReadZipMembers, RefusesDamagedArchives) {
  test::TempDir dir;
  std::vector<Member> members = {{"one.txt", bytes_of("first member, first member, first member"), true},
                                 {"two.bin", bytes_of("second"), false}};
  const Bytes good = write_archive(dir / "g.zip", members);
  const size_t end = good.size() - 22;
  const size_t dir_at = u32_at(good, end + 16);
  const size_t second_local = 30 + 7 + u32_at(good, 18);
  ASSERT_TRUE(read_zip_members(good).has_value());

  struct Case {
    std::string name;
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"too short", [](Bytes& z) { z.resize(21); }, "not a zip file"},
      {"no end record", [&](Bytes& z) { z[end] = 'X'; }, "not a zip file"},
      {"end record behind a comment longer than 65535 bytes",
       [](Bytes& z) {
         z[z.size() - 2] = 0xFF, z[z.size() - 1] = 0xFF;
         z.insert(z.end(), 65536, ' ');
       },
       "not a zip file"},
      {"directory offset past the end", [&](Bytes& z) { set32(z, end + 16, 0x7FFFFFF0); }, "bad central directory"},
      {"directory offset into member data", [&](Bytes& z) { set32(z, end + 16, 40); }, "bad central directory"},
      {"more entries than headers", [&](Bytes& z) { z[end + 10] = 3; }, "bad central directory"},
      {"name running past the end", [&](Bytes& z) { z[dir_at + 28] = 0xF0, z[dir_at + 29] = 0xFF; },
       "bad central directory"},
      {"local header past the end", [&](Bytes& z) { set32(z, dir_at + 42, 0x7FFFFFFF); }, "truncated zip member one.txt"},
      {"data past the end", [&](Bytes& z) { set32(z, dir_at + 20, 0x7FFFFFFF); }, "truncated zip member one.txt"},
      {"local name length pushing data past the end", [&](Bytes& z) { z[26] = 0xFF, z[27] = 0xFF; },
       "truncated zip member one.txt"},
      {"wrong crc", [&](Bytes& z) { z[dir_at + 16] ^= 1; }, "crc mismatch in zip member one.txt"},
      {"flipped stored byte", [&](Bytes& z) { z[second_local + 30 + 7] ^= 0x20; }, "crc mismatch in zip member two.bin"},
      {"announced size too large", [&](Bytes& z) { set32(z, dir_at + 24, 1000); }, "size mismatch in zip member one.txt"},
      {"announced size too small", [&](Bytes& z) { set32(z, dir_at + 24, 5); }, "inflated data exceeds 5 bytes"},
      {"unknown method", [&](Bytes& z) { z[dir_at + 10] = 14; }, "zip method 14 not supported"},
      {"zip64 locator pointing past the end",
       [&](Bytes& z) {
         // an end record with the zip64 marker and a locator in front of it
         Bytes tail(20, 0);
         set32(tail, 0, 0x07064B50);
         set32(tail, 8, 0x7FFFFFFF);
         z.insert(z.begin() + static_cast<ptrdiff_t>(end), tail.begin(), tail.end());
         set32(z, z.size() - 22 + 16, 0xFFFFFFFF);
       },
       "bad zip64 end record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes z = good;
    c.damage(z);
    auto got = read_zip_members(z);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), c.message);
  }
}

TEST(ReadZipMembers, ReplacesInvalidUtf8InNames) {
  test::TempDir dir;
  Bytes z = write_archive(dir / "n.zip", {{"ab", bytes_of("x"), false}});
  // Change both copies of the name to "a\xFF".
  z[30 + 1] = 0xFF;
  z[z.size() - 22 - 46 - 2 + 46 + 1] = 0xFF;
  auto got = read_zip_members(z);
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ((*got)[0].name, "a\xEF\xBF\xBD");
}

TEST(ReadZipMembers, RandomDamageNeverCrashes) {
  test::TempDir dir;
  const Bytes good = write_archive(dir / "g.zip", sample_members());
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    Bytes z = good;
    for (int k = 0; k < 3; ++k) z[rng() % z.size()] = static_cast<uint8_t>(rng());
    if (round % 4 == 0) z.resize(rng() % z.size());
    (void)read_zip_members(z);
  }
}

}  // namespace
}  // namespace tsl
