#pragma once
// Rhetorical roles of candidate chunks: codes, display names and the text
// parser used for chunk dictionaries and must-include role lists.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace torvane {

enum class RhetoricalRole : std::int8_t {
    Unknown = -1,
    Definition = 0,
    Example = 1,
    Evidence = 2,
    Conclusion = 3,
    Risk = 4,
    Constraint = 5,
    DataTable = 6,
    Procedure = 7,
};

inline constexpr std::int8_t role_code(RhetoricalRole role) { return static_cast<std::int8_t>(role); }

// The role's code read as an unsigned byte: an index into a table of 256
// entries per role, which every code (Unknown's -1 included) fits.
inline constexpr std::size_t role_slot(RhetoricalRole role) { return static_cast<std::uint8_t>(role_code(role)); }

// Display name written into messages ("DataTable" for code 6, "Unknown" for -1).
std::string_view role_display_name(RhetoricalRole role);

// Role of an unsigned byte code as NumPy callers give it: 0..7 are the
// roles of those codes, 8..255 (255 being Unknown's own byte) are Unknown.
RhetoricalRole role_from_code(std::uint8_t code);

// Parses a role text given as UTF-8. The text is lower-cased with the full
// Unicode lower-case mapping and compared byte for byte with the accepted
// names; anything else (including invalid UTF-8) is Unknown. Never fails.
RhetoricalRole parse_role(std::string_view utf8_text);

}  // namespace torvane
