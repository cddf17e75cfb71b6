// The quoted form of a text, as error messages show it: double quotes
// around, backslash escapes for \\, ", tab, CR, LF and NUL, and \u{...} for
// other non-printable or combining characters.
#pragma once

#include <string>
#include <string_view>

namespace tarnex::self_play {

std::string quoted(std::string_view utf8);

}  // namespace tarnex::self_play
