#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ui/account/input/CharacterCount.h"
#include "ui/account/input/EmailAddress.h"

namespace brimo::ui::signin {
namespace {

TEST(EmailAddressTest, AcceptsAndRefusesTheAddressesUsersType) {
    EXPECT_TRUE(isValidEmailAddress("first.last+tag@mail-host.example.com"));
    EXPECT_TRUE(isValidEmailAddress("a_b%c@x.io"));
    EXPECT_TRUE(isValidEmailAddress("x@a..b.cc"));  // the pattern lets dots repeat in the domain
    EXPECT_TRUE(isValidEmailAddress(".x@-.ab"));

    EXPECT_FALSE(isValidEmailAddress("user@example.c"));  // last label of one letter
    EXPECT_FALSE(isValidEmailAddress(" user@example.com"));
    EXPECT_FALSE(isValidEmailAddress("user@example.com "));
    EXPECT_FALSE(isValidEmailAddress("user@example.com\n"));
    EXPECT_FALSE(isValidEmailAddress(""));
    EXPECT_FALSE(isValidEmailAddress("@example.com"));
    EXPECT_FALSE(isValidEmailAddress("user@.com"));
    EXPECT_FALSE(isValidEmailAddress("user@example"));
    EXPECT_FALSE(isValidEmailAddress("user@example.c0m"));
    EXPECT_FALSE(isValidEmailAddress("a@b@example.com"));
    EXPECT_FALSE(isValidEmailAddress("usér@example.com"));
    EXPECT_FALSE(isValidEmailAddress("user@exämple.com"));
    EXPECT_FALSE(isValidEmailAddress(std::string("user\0x@example.com", 18)));
}

TEST(EmailAddressTest, TheLastLabelHoldsTwoToSixtyFourLetters) {
    EXPECT_TRUE(isValidEmailAddress("u@h." + std::string(64, 'z')));
    EXPECT_FALSE(isValidEmailAddress("u@h." + std::string(65, 'z')));
}

TEST(EmailAddressTest, AVeryLongPastedTextIsAnsweredWithoutExhaustingTheStack) {
    EXPECT_TRUE(isValidEmailAddress(std::string(1'000'000, 'a') + "@example.com"));
    EXPECT_FALSE(isValidEmailAddress(std::string(1'000'000, '.') + "@"));
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
}

TEST(CharacterCountTest, MalformedBytesAreCountedRatherThanSwallowed) {
    EXPECT_GE(userPerceivedLength("\xFF\xFE\xFD"), 3U);
}

TEST(CharacterCountTest, SevenCharactersAreOneShortOfTheMinimum) {
    EXPECT_LT(userPerceivedLength("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"),
              minimumPasswordLength);
    EXPECT_EQ(userPerceivedLength("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"),
              minimumPasswordLength);
}

}  // namespace
}  // namespace brimo::ui::signin
