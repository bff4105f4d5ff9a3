#pragma once
// The hidden test commands of the entry: each runs one operation of the image code on files,
// prints its figures on stderr and writes its result as an npy array. Every failure is an
// internal error (exit code 101), because these commands serve development, not users.
#include <span>
#include <string>

namespace tsl {

// Runs the test command named by words[0] ("__load", "__dngtest", ...); the caller has
// checked the word count. A command not built into this version is an internal error.
void run_test_command(std::span<const std::string> words);

}  // namespace tsl
