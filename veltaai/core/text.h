#pragma once
// Small text helpers every module shares, and the one rule for reading the environment.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai {

// Without leading and trailing spaces, tabs and line breaks.
std::string trim(std::string_view text);
// ASCII letters in lower case; other bytes unchanged.
std::string lower(std::string_view text);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
// The pieces between separators, empty ones included ("a,,b" gives three).
std::vector<std::string> split(std::string_view text, char separator);
// The upper-case hexadecimal digit of the low four bits of nibble.
char hex_digit(unsigned nibble);
// Appends the UTF-8 encoding of the code point cp to out.
void append_utf8(std::string& out, std::uint32_t cp);
std::string strip_trailing_slashes(std::string text);
// Every byte but the unreserved ones (letters, digits, "-._~") as %XX, so a URL parser gives
// the text back exactly, whatever it holds.
std::string percent_encode(std::string_view text);

// The environment's one rule: an empty variable counts as unset (switches, paths, limits,
// addresses and keys alike), so `VAR=` in a shell or a .env file means "use the default".
// The exception is a value that may rightly be empty: a database user or password, or a
// field of a credential record, which the user writes empty on purpose; those are read with
// environment_text, where only an absent variable is unset.
std::optional<std::string> environment_variable(const char* name);
std::optional<std::string> environment_text(const char* name);

}  // namespace veltaai
