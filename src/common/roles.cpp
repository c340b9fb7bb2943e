#include "common/roles.hpp"

#include <array>
#include <string>

namespace torvane {

namespace {

struct RoleName {
    std::string_view text;
    RhetoricalRole role;
};

constexpr std::array<RoleName, 10> kAcceptedNames{{
    {"definition", RhetoricalRole::Definition},
    {"example", RhetoricalRole::Example},
    {"evidence", RhetoricalRole::Evidence},
    {"conclusion", RhetoricalRole::Conclusion},
    {"risk", RhetoricalRole::Risk},
    {"constraint", RhetoricalRole::Constraint},
    {"data_table", RhetoricalRole::DataTable},
    {"datatable", RhetoricalRole::DataTable},
    {"table", RhetoricalRole::DataTable},
    {"procedure", RhetoricalRole::Procedure},
}};

constexpr std::size_t kLongestName = 10;

// Decodes one UTF-8 sequence starting at text[pos]; returns false on
// malformed input (overlong forms, surrogates, truncation, > U+10FFFF).
bool next_code_point(std::string_view text, std::size_t& pos, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t extra;
    char32_t cp;
    if (lead < 0x80) {
        out = lead;
        pos += 1;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07u;
    } else {
        return false;
    }
    if (text.size() - pos <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
        const unsigned char c = byte(pos + i);
        if ((c & 0xC0u) != 0x80u) return false;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    static constexpr char32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out = cp;
    pos += extra + 1;
    return true;
}

}  // namespace

std::string_view role_display_name(RhetoricalRole role) {
    switch (role) {
        case RhetoricalRole::Definition: return "Definition";
        case RhetoricalRole::Example: return "Example";
        case RhetoricalRole::Evidence: return "Evidence";
        case RhetoricalRole::Conclusion: return "Conclusion";
        case RhetoricalRole::Risk: return "Risk";
        case RhetoricalRole::Constraint: return "Constraint";
        case RhetoricalRole::DataTable: return "DataTable";
        case RhetoricalRole::Procedure: return "Procedure";
        case RhetoricalRole::Unknown: break;
    }
    return "Unknown";
}

RhetoricalRole role_from_code(std::uint8_t code) {
    if (code < 8) return static_cast<RhetoricalRole>(static_cast<std::int8_t>(code));
    return RhetoricalRole::Unknown;
}

RhetoricalRole parse_role(std::string_view utf8_text) {
    // Under the full Unicode lower-case mapping the only code points whose
    // lower-case form is pure ASCII are ASCII itself and U+212A KELVIN SIGN
    // (which becomes 'k'). Every other code point lower-cases to text that
    // contains a non-ASCII character, and no accepted name does, so such a
    // text can never match. That makes this small mapping exact for matching.
    std::string lowered;
    lowered.reserve(kLongestName);
    std::size_t pos = 0;
    while (pos < utf8_text.size()) {
        char32_t cp;
        if (!next_code_point(utf8_text, pos, cp)) return RhetoricalRole::Unknown;
        char ascii;
        if (cp == 0x212A) {
            ascii = 'k';
        } else if (cp < 0x80) {
            ascii = static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + ('a' - 'A') : cp);
        } else {
            return RhetoricalRole::Unknown;
        }
        if (lowered.size() == kLongestName) return RhetoricalRole::Unknown;
        lowered.push_back(ascii);
    }
    for (const RoleName& name : kAcceptedNames) {
        if (lowered == name.text) return name.role;
    }
    return RhetoricalRole::Unknown;
}

}  // namespace torvane
