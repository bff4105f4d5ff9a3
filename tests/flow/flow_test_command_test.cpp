#include "flow/flow_test_command.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

#include "dis/dis_flow.h"
#include "flow/flow_fixtures.h"
#include "flow/lk_flow.h"
#include "support/test_util.h"
#include "util/npy.h"

namespace tsl {
namespace {

using test::shell_quote;
using test::TempDir;

void write_npy(const std::filesystem::path& path, std::vector<float> data, std::vector<uint64_t> shape) {
  test::write_file_bytes(path, npy_write(NpyArray{std::move(data), std::move(shape)}));
}

test::CommandResult run_flowtest(const TempDir& dir, const char* flow_env) {
  const std::string env = flow_env ? "env FLOW=" + shell_quote(flow_env) + " " : "env -u FLOW ";
  return test::run_command(env + shell_quote(test::tessaly_exe().string()) + " __flowtest " +
                           shell_quote((dir / "a.npy").string()) + " " + shell_quote((dir / "b.npy").string()) + " " +
                           shell_quote((dir / "o.npy").string()));
}

// The pair on the 0..1 scale the command reads, and the same grey levels as whole numbers.
struct Pair {
  ImageF32 a, b;
};

Pair unit_pair(size_t w, size_t h) {
  const test::Texture t(50);
  return {test::scaled(test::rounded(test::texture_image(t, w, h)), 1.0f / 255),
          test::scaled(test::rounded(test::texture_image(t, w, h, -1.25, 0.5)), 1.0f / 255)};
}

TEST(FlowTestCommand, OnlyTheExactWordDisSelectsDisAndTheLabelIsLkEither) {
  TempDir dir;
  const size_t w = 40, h = 30;
  const Pair p = unit_pair(w, h);
  write_npy(dir / "a.npy", p.a.data, {h, w});
  write_npy(dir / "b.npy", p.b.data, {h, w});
  ImageF32 a255 = p.a, b255 = p.b;
  for (ImageF32* img : {&a255, &b255})
    for (float& s : img->data) s = std::round(s * 255.0f);
  const FlowField dis = dis_flow(a255, b255);
  const FlowField lk = lk_flow(p.a, p.b);
  ASSERT_NE(dis.u, lk.u);
  struct Row {
    const char* env;
    bool dis;
  };
  for (const Row r : {Row{"dis", true}, Row{nullptr, false}, Row{"DIS", false}, Row{"dis ", false}, Row{"", false}}) {
    SCOPED_TRACE(r.env ? std::string("'") + r.env + "'" : "unset");
    const auto run = run_flowtest(dir, r.env);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("^lk 40x30: [0-9]+ ms\n$"))) << run.err;
    auto out = npy_read(test::read_file_bytes(dir / "o.npy"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->shape, (std::vector<uint64_t>{h, w, 2}));
    const auto& values = std::get<std::vector<float>>(out->data);
    const FlowField& want = r.dis ? dis : lk;
    for (size_t q = 0; q < w * h; ++q) {
      ASSERT_EQ(values[2 * q], want.u[q]) << q;
      ASSERT_EQ(values[2 * q + 1], want.v[q]) << q;
    }
  }
}

TEST(FlowTestCommand, NonFiniteSamplesGiveAFiniteFlowWithEitherBackend) {
  TempDir dir;
  Pair p = unit_pair(48, 36);
  p.a.data[10] = std::numeric_limits<float>::quiet_NaN();
  p.a.data[200] = std::numeric_limits<float>::infinity();
  p.b.data[300] = -std::numeric_limits<float>::infinity();
  write_npy(dir / "a.npy", p.a.data, {36, 48});
  write_npy(dir / "b.npy", p.b.data, {36, 48});
  for (const char* env : {"dis", "lk"}) {
    SCOPED_TRACE(env);
    const auto run = run_flowtest(dir, env);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    auto out = npy_read(test::read_file_bytes(dir / "o.npy"));
    ASSERT_TRUE(out);
    for (float s : std::get<std::vector<float>>(out->data)) ASSERT_TRUE(std::isfinite(s));
  }
}

TEST(FlowTestCommand, BadArraysAreInternalErrorsNamingTheFault) {
  struct Row {
    const char* name;
    std::vector<uint64_t> shape_a, shape_b;
    const char* message;  // part of the report on stderr
  };
  const Row rows[] = {
      {"shapes differ", {6, 8}, {8, 6}, "differs from"},
      {"B with fewer rows", {6, 8}, {5, 8}, "differs from"},
      {"one-dimensional A", {48}, {48}, "is not an image"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TempDir dir;
    auto count = [](const std::vector<uint64_t>& s) {
      uint64_t n = 1;
      for (uint64_t d : s) n *= d;
      return n;
    };
    write_npy(dir / "a.npy", std::vector<float>(count(r.shape_a), 0.5f), r.shape_a);
    write_npy(dir / "b.npy", std::vector<float>(count(r.shape_b), 0.5f), r.shape_b);
    const auto run = run_flowtest(dir, "dis");
    EXPECT_EQ(run.exit_code, 101) << run.err;
    EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
  }
  TempDir dir;
  test::write_file_text(dir / "a.npy", "not an array");
  write_npy(dir / "b.npy", {0.5f}, {1, 1});
  const auto run = run_flowtest(dir, nullptr);
  EXPECT_EQ(run.exit_code, 101) << run.err;
  EXPECT_NE(run.err.find("a.npy"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tsl
