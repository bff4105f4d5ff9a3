#pragma once
// The command-line parser: the words of a build command line (after the program name) become
// an option map with every option present, defaults filled in, "input" first and the options
// in table order whatever order the words had.
//
// Option words are "--name", "--name=value" and the two-byte "-o"; every other word, including
// "-", "-5", "-12.5" and "-abc", is an input. A value word is taken whatever it looks like.
// Number values are trimmed of Unicode white space (list words are not) and read with
// parse_decimal; Int values must be integral. A later occurrence replaces an earlier one,
// except for repeatable options, whose values accumulate.
#include <expected>
#include <span>
#include <string>

#include "util/json.h"

namespace tsl {

// The option map, or the first error in word order: "unrecognized arguments: {word}",
// "argument {flag}: expected one argument", "argument {flag}: expected {n} arguments",
// "argument {flag}: invalid float value: '{v}'", "argument {flag}: invalid int value: '{v}'",
// "argument {flag}: invalid choice: '{v}' (choose from {a, b})", and, after all words were
// read, "the following arguments are required: input".
std::expected<JsonValue, std::string> parse_args(std::span<const std::string> words);

}  // namespace tsl
