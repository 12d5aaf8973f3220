#include <gtest/gtest.h>

#include <glib.h>

#include <string>

#include "tour_text.h"

namespace {

struct Case {
  std::string raw;
  std::string shown;
};

class Escape : public testing::TestWithParam<Case> {};

TEST_P(Escape, ShowsOnlyValidUtf8WithoutSteeringAndTypesBack) {
  const Case &c = GetParam();
  const std::string shown = tour_text_escape(c.raw);
  EXPECT_EQ(shown, c.shown);
  EXPECT_TRUE(g_utf8_validate(shown.data(), shown.size(), nullptr));
  EXPECT_EQ(tour_text_is_plain(c.raw), shown == c.raw);
  std::string back;
  ASSERT_TRUE(tour_text_unescape(shown, &back));
  EXPECT_EQ(back, c.raw);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Escape,
    testing::Values(Case{"Front gate", "Front gate"}, Case{"Caf\xc3\xa9", "Caf\xc3\xa9"},
                    Case{"Caf\xe9", "Caf\\xe9"}, Case{"a\\b\nc\td\re", "a\\\\b\\nc\\td\\re"},
                    Case{"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
                    Case{"\xc2\x9b"
                         "31m",
                         "\\xc2\\x9b31m"},
                    Case{"abc\xe2\x80\xae"
                         "fed",
                         "abc\\xe2\\x80\\xaefed"},
                    Case{"\xe2\x81\xa6x\xe2\x80\xa8", "\\xe2\\x81\\xa6x\\xe2\\x80\\xa8"},
                    Case{"\xe2\x82", "\\xe2\\x82"}, Case{"#not a comment", "#not a comment"}));

TEST(Escape, LeadingHashOnlyAtALineStart) {
  EXPECT_EQ(tour_text_escape("#x", true), "\\x23x");
  EXPECT_EQ(tour_text_escape("a#x", true), "a#x");
}

TEST(Unescape, RefusesWhatNoEscapingMakes) {
  std::string raw;
  for (const char *text : {"\\", "a\\q", "\\x0", "\\x00", "\\xg1"})
    EXPECT_FALSE(tour_text_unescape(text, &raw)) << text;
  EXPECT_FALSE(tour_text_unescape(std::string_view("a\0b", 3), &raw));
}

TEST(Bounded, CutsBetweenCharactersAndEscapesWithinTheBound) {
  const std::string euro = "\xe2\x82\xac";
  std::string many_euros;
  for (int i = 0; i < 100; ++i)
    many_euros += euro;
  struct {
    std::string raw;
    size_t max;
    std::string want;
  } cases[] = {
      {"short", 256, "short"},
      {std::string(256, 'a'), 256, std::string(256, 'a')},
      {std::string(257, 'a'), 256, std::string(253, 'a') + "\u2026"},
      {many_euros, 10, euro + euro + "\u2026"},
      {"ab\xe9zzzzzzzz", 8, "ab\u2026"},
      {"ab\xe9zzzzzzzz", 9, "ab\\xe9\u2026"},
  };
  for (const auto &c : cases) {
    const std::string got = tour_text_bounded(c.raw, c.max);
    EXPECT_EQ(got, c.want) << c.raw.size() << " bytes, bound " << c.max;
    EXPECT_LE(got.size(), c.max);
    EXPECT_TRUE(g_utf8_validate(got.data(), got.size(), nullptr));
  }
}

} // namespace
