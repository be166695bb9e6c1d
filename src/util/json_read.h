// Reading JSON that comes from elsewhere (another machine, a release
// manifest): the library's exceptions become failures, a key given twice is
// refused instead of read either way, and a value of the wrong type is
// described in the words the refusal shows.
#pragma once

#include <nlohmann/json.hpp>

#include <exception>
#include <string>
#include <string_view>

#include "util/result.h"

namespace ruk::json {

using Json = nlohmann::json;

// The library's message without its "[json.exception.parse_error.101] " tag.
std::string library_message(const std::exception& e);

// One JSON value; "duplicate field `KEY`" when any object has a key twice.
Result<Json> parse(std::string_view text);

// How a value is named in a refusal: null, integer `-1`, string "x", map ...
std::string described(const Json& value);

// "invalid type for `KEY`: {described}, expected {expected}".
std::unexpected<Error> invalid_type(const Json& value, std::string_view key, std::string_view expected);

}  // namespace ruk::json
