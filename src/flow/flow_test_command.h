#pragma once
// The hidden flow test command: the flow between two grey images read from npy files,
// timed, written as an npy array.
#include <string>

namespace tsl {

// Reads A and B (npy, at least 2 dimensions, A's first two giving height and width; B of
// A's shape), runs DIS when `dis` is set (on the samples times 255, rounded) and Lucas-Kanade
// otherwise, prints "lk {W}x{H}: {ms} ms" on stderr and writes the flow to OUT as float32
// [H, W, 2] (u then v per pixel). Any failure is an internal error.
void flow_test_command(const std::string& path_a, const std::string& path_b, const std::string& path_out, bool dis);

}  // namespace tsl
