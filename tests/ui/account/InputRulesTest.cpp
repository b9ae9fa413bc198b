#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "ui/account/input/CharacterCount.h"
#include "ui/account/input/EmailAddress.h"

namespace brimo::ui::signin {
namespace {

TEST(EmailAddressTest, AcceptsAndRefusesTheAddressesUsersType) {
    const std::pair<std::string, bool> cases[] = {
        {"first.last+tag@mail-host.example.com", true},
        {"a_b%c@x.io", true},
        {"x@a..b.cc", true},  // the pattern lets dots repeat in the domain
        {".x@-.ab", true},
        {"u@h." + std::string(64, 'z'), true},  // the last label holds 2 to 64 letters
        {"u@h." + std::string(65, 'z'), false},
        {"user@example.c", false},
        {" user@example.com", false},
        {"user@example.com ", false},
        {"user@example.com\n", false},
        {"", false},
        {"@example.com", false},
        {"user@.com", false},
        {"user@example", false},
        {"user@example.c0m", false},
        {"a@b@example.com", false},
        {"usér@example.com", false},
        {"user@exämple.com", false},
        {std::string("user\0x@example.com", 18), false},
        // A very long pasted text is answered without exhausting the stack.
        {std::string(1'000'000, 'a') + "@example.com", true},
        {std::string(1'000'000, '.') + "@", false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(isValidEmailAddress(text), valid) << '"' << text.substr(0, 40) << '"';
    }
}

// The hand-written reading must agree with the pattern itself on every text; random short texts
// over the characters that matter find any case where it does not.
TEST(EmailAddressTest, AgreesWithTheRegularExpressionOnRandomTexts) {
    const std::regex pattern("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,64}");
    const std::vector<std::string> alphabet = {"a", "b", "c", "Z", "Y", "9", ".",
                                               "_", "%", "+", "-", "@", " ", "\u00e9"};
    std::mt19937 random(432);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 4);
    const std::string separators[] = {"@", ".", ""};
    std::uniform_int_distribution<std::size_t> pickSeparator(0, 2);
    auto segment = [&] {
        std::string part;
        for (int n = length(random); n > 0; --n) {
            part += alphabet[pick(random)];
        }
        return part;
    };
    int valid = 0;
    for (int i = 0; i < 50'000; ++i) {
        // Segments joined by the characters the pattern turns on, so both outcomes are common.
        std::string text = segment();
        for (int k = 0; k < 3; ++k) {
            text += separators[pickSeparator(random)] + segment();
        }
        const bool expected = std::regex_match(text, pattern);
        valid += expected ? 1 : 0;
        ASSERT_EQ(isValidEmailAddress(text), expected) << '"' << text << '"';
    }
    EXPECT_GT(valid, 40);  // the sample reached the accepting side too
}

TEST(CharacterCountTest, CountsWhatTheUserSeesNotBytesOrCodePoints) {
    EXPECT_EQ(userPerceivedLength(""), 0U);
    EXPECT_EQ(userPerceivedLength("abcdefg"), 7U);
    EXPECT_EQ(userPerceivedLength("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"), 7U);
    EXPECT_EQ(userPerceivedLength("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"), 8U);
    EXPECT_EQ(userPerceivedLength("\U0001F1E9\U0001F1EA"), 1U);                        // a flag
    EXPECT_EQ(userPerceivedLength("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1U);  // family
    EXPECT_EQ(userPerceivedLength("\U0001F44D\U0001F3FD"), 1U);                        // skin tone
    EXPECT_EQ(userPerceivedLength("\u1100\u1161\u11A8"), 1U);  // Hangul syllable from jamo
    EXPECT_EQ(userPerceivedLength("\r\n"), 1U);
    EXPECT_EQ(userPerceivedLength("pass word"), 9U);
    EXPECT_GE(userPerceivedLength("\xFF\xFE\xFD"), 3U);  // malformed bytes counted, not swallowed
}

}  // namespace
}  // namespace brimo::ui::signin
