// The feature-cache record on arbitrary bytes: a cache file parses to nothing or to a record,
// the record decodes to nothing or to a feature set whose lists agree with each other, and a
// decoded set survives its own round trip (encode, decode, encode gives the same bytes).
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cache/record.h"
#include "sift/descriptor.h"
#include "sift/feature_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto record = tsl::parse_cache_record(std::span<const uint8_t>(data, size));
  if (!record) return 0;
  const auto features = tsl::decode_feature_record(*record);
  if (!features) return 0;
  const tsl::FeatureSet& f = *features;
  const size_t n = f.kp.size();
  if (f.kp_m.size() != n || f.desc.size() != tsl::DESC_LEN * n) std::abort();
  if (f.thumb.size() != uint64_t{f.thumb_w} * f.thumb_h * 3) std::abort();
  const auto bytes = tsl::encode_cache_record(tsl::encode_feature_record(f));
  const auto reread = tsl::parse_cache_record(bytes);
  if (!reread) std::abort();
  const auto again = tsl::decode_feature_record(*reread);
  if (!again || tsl::encode_cache_record(tsl::encode_feature_record(*again)) != bytes) std::abort();
  return 0;
}
