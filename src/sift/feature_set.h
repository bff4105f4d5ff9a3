#pragma once
// The features of one photo: SIFT keypoints at working and at full resolution, RootSIFT
// descriptors and a small linear RGB thumbnail that matching samples for colour ratios.
#include <cstdint>
#include <vector>

#include "geo/vec.h"

namespace tsl {

struct FeatureSet {
  // Keypoints in full-resolution pixels of the photo (origin top-left, pixel centres at
  // integers); entry i of kp, kp_m and desc describe the same keypoint.
  std::vector<Vec2> kp;
  // The same keypoints in pixels of the working image.
  std::vector<Vec2> kp_m;
  // 128 RootSIFT values per keypoint, keypoint i at 128 i .. 128 i + 127; each in [0, 1] and
  // exactly representable in binary16.
  std::vector<float> desc;
  // thumb_w x thumb_h x 3 linear RGB (value / 65535), rows from the top, binary16-exact.
  std::vector<float> thumb;
  uint32_t thumb_w = 1;
  uint32_t thumb_h = 1;
  uint32_t channels = 3;
  uint32_t work_h = 0;  // working image (= feature image) size
  uint32_t work_w = 0;
  Vec2 tsc;  // thumbnail scale: thumb size / photo size, per axis
  Vec2 msc;  // working scale: working size / photo size, per axis
};

}  // namespace tsl
