#pragma once
// The studio's settings object becomes the words a user would type after the program name, so
// a studio build goes through the same parser, defaults and messages as a command line.
#include <string>
#include <vector>

#include "util/json.h"

namespace tsl {

// The input words ("input" Array, String elements only), then for each member naming an option,
// in the settings' own order, its words; Null, empty Strings and values loosely equal to the
// row's default add nothing. Never fails: a wrong value still becomes words and the parser
// reports it.
std::vector<std::string> settings_to_argv(const JsonValue& settings);

// One value as a command-line word: Bools as "True" / "False", integral Numbers below 1e15 as
// integers, other Numbers as the shortest positional text ("NaN", "inf", "-inf"), Strings
// unchanged, anything else as compact JSON.
std::string json_to_arg(const JsonValue& value);

// Equality for dropping defaults: a Bool equals the Number 1 or 0, Numbers compare as doubles,
// Arrays element by element by this rule; anything else by strict equality.
bool json_loose_eq(const JsonValue& a, const JsonValue& b);

}  // namespace tsl
