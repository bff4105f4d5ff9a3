#include "flow/optical_flow.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "dis/dis_flow.h"
#include "flow/flow_fixtures.h"
#include "flow/lk_flow.h"
#include "support/test_util.h"

namespace tsl {
namespace {

TEST(OpticalFlow, BackendRuleTakesLkInAnyCaseAndExactlyTwoBytes) {
  struct Row {
    std::optional<std::string> value;
    bool lk;
  };
  const Row rows[] = {
      {"lk", true},     {"LK", true},    {"Lk", true},  {"lK", true},  {std::nullopt, false},
      {"", false},      {"dis", false},  {" lk", false}, {"lk ", false}, {"lkk", false},
      {"l", false},     {"LK\n", false}, {"lucas-kanade", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.value ? "'" + *r.value + "'" : "unset");
    EXPECT_EQ(flow_backend_is_lk(r.value ? std::optional<std::string_view>(*r.value) : std::nullopt), r.lk);
  }
}

TEST(OpticalFlow, DispatchesOnTheBackendOption) {
  const test::Texture t(40);
  const ImageF32 a = test::rounded(test::texture_image(t, 64, 48));
  const ImageF32 b = test::rounded(test::texture_image(t, 64, 48, -1.5, 0.5));
  const ImageF32 a_before = a;
  const FlowField dis = dis_flow(a, b);
    // the front divides by 255 (not a multiply by its reciprocal, which rounds differently)
  auto unit = [](ImageF32 img) {
    for (float& s : img.data) s /= 255.0f;
    return img;
  };
  const FlowField lk = lk_flow(unit(a), unit(b));
  ASSERT_NE(dis.u, lk.u);
  for (const bool use_lk : {false, true}) {
    SCOPED_TRACE(use_lk ? "Lucas-Kanade" : "DIS");
    const FlowField f = optical_flow(a, b, {use_lk ? FlowBackend::LucasKanade : FlowBackend::Dis});
    EXPECT_EQ(f.u, use_lk ? lk.u : dis.u);
    EXPECT_EQ(f.v, use_lk ? lk.v : dis.v);
  }
  EXPECT_EQ(a.data, a_before.data);
}

TEST(OpticalFlow, ResultAlwaysCoversTheImage) {
  const test::Texture t(41);
  for (const FlowBackend backend : {FlowBackend::Dis, FlowBackend::LucasKanade}) {
    for (const auto& [w, h] : {std::pair<size_t, size_t>{5, 3}, {13, 40}, {70, 20}}) {
      SCOPED_TRACE(testing::Message() << (backend == FlowBackend::Dis ? "dis" : "lk") << " " << w << "x" << h);
      const ImageF32 a = test::texture_image(t, w, h), b = test::texture_image(t, w, h, 1, 0);
      const FlowField f = optical_flow(a, b, {backend});
      EXPECT_EQ(f.u.size(), w * h);
      EXPECT_EQ(f.v.size(), w * h);
    }
  }
}

}  // namespace
}  // namespace tsl
