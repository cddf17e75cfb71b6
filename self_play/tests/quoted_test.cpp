// The quoted form of a text, on its own.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quoted.hpp"

namespace tarnex::self_play {
namespace {

using namespace std::string_literals;

TEST(Quoted, EnclosesInDoubleQuotes) {
    EXPECT_EQ(self_play::quoted(""), "\"\"");
    EXPECT_EQ(self_play::quoted("Error running MCTS"), "\"Error running MCTS\"");
}

TEST(Quoted, BackslashAndDoubleQuoteGetABackslash) {
    EXPECT_EQ(self_play::quoted("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(self_play::quoted("say \"hi\""), "\"say \\\"hi\\\"\"");
}

TEST(Quoted, TabReturnLineFeedAndNulAreLetterEscapes) {
    EXPECT_EQ(self_play::quoted("a\tb\rc\nd"), "\"a\\tb\\rc\\nd\"");
    EXPECT_EQ(self_play::quoted("x\0y"s), "\"x\\0y\"");
}

TEST(Quoted, OtherControlsAndCombiningMarksAreCodePointEscapes) {
    EXPECT_EQ(self_play::quoted("\x01"), "\"\\u{1}\"");
    EXPECT_EQ(self_play::quoted("\x1b[0m"), "\"\\u{1b}[0m\"");
    EXPECT_EQ(self_play::quoted("\x7f"), "\"\\u{7f}\"");
    EXPECT_EQ(self_play::quoted("\u0085"), "\"\\u{85}\"");             // a C1 control
    EXPECT_EQ(self_play::quoted("e\u0301"), "\"e\\u{301}\"");          // combining acute accent
    EXPECT_EQ(self_play::quoted("\u0301x"), "\"\\u{301}x\"");
    EXPECT_EQ(self_play::quoted("a\u200Db"), "\"a\\u{200d}b\"");       // zero width joiner, a format character
    EXPECT_EQ(self_play::quoted("\u2028"), "\"\\u{2028}\"");           // line separator
}

TEST(Quoted, SingleQuotesSpacesAndPrintableCharactersStay) {
    EXPECT_EQ(self_play::quoted("it's <class 'EOFError'>"), "\"it's <class 'EOFError'>\"");
    EXPECT_EQ(self_play::quoted("caf\u00e9 \u2B1C \U0001F7E5 \u4e2d"), "\"caf\u00e9 \u2B1C \U0001F7E5 \u4e2d\"");
    EXPECT_EQ(self_play::quoted("~!@#$%^&*()_+{}|:<>?`-=[];,./"), "\"~!@#$%^&*()_+{}|:<>?`-=[];,./\"");
}

}  // namespace
}  // namespace tarnex::self_play
