#include "quoted.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace tarnex::self_play {
namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Characters shown as \u{...}: controls, format characters, separators other
// than the ASCII space, private use, surrogates and noncharacters.
constexpr std::array<Range, 30> kNonPrintable = {{
    {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},
    {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},   {0xD800, 0xF8FF},
    {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF0, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0x1FFFE, 0x1FFFF}, {0xE0000, 0xE001F},
    {0xE0020, 0xE007F}, {0xE0080, 0xE00FF}, {0xE01F0, 0xEFFFF}, {0xF0000, 0x10FFFF}, {0x2FFFE, 0x2FFFF},
}};

// Combining marks (Unicode's grapheme extenders), by block.
constexpr std::array<Range, 40> kCombining = {{
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0711, 0x0711},
    {0x0730, 0x074A},   {0x0900, 0x0902},   {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948},
    {0x094D, 0x094D},   {0x0951, 0x0957},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},
    {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200C, 0x200C},   {0x20D0, 0x20FF},   {0x302A, 0x302F},
    {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFF9E, 0xFF9F},   {0x101FD, 0x101FD},
    {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1F3FB, 0x1F3FF}, {0xE0100, 0xE01EF},
}};

template <std::size_t N>
bool in(const std::array<Range, N>& ranges, char32_t c) {
    return std::any_of(ranges.begin(), ranges.end(), [c](Range r) { return c >= r.first && c <= r.last; });
}

// Decodes one UTF-8 sequence at `i`; malformed input yields U+FFFD.
char32_t decode(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80) return b0;
    int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : -1;
    if (extra < 0 || b0 > 0xF4) return 0xFFFD;
    char32_t c = b0 & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return c;
}

void encode(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = decode(text, i);
        switch (c) {
            case U'\\': out += "\\\\"; continue;
            case U'"': out += "\\\""; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (in(kNonPrintable, c) || in(kCombining, c)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        } else {
            encode(out, c);
        }
    }
    out += '"';
    return out;
}

}  // namespace tarnex::self_play
