// Message composition in the last-error slot and its overflow text.
#include "api/error_slot.h"

#include <gtest/gtest.h>

#include <string>

#include "quelta.h"

namespace quelta::api {
namespace {

TEST(ErrorSlot, PrefixAndConditionName) {
  slot_set("next failed: ", Error::UnterminatedQuote);
  EXPECT_STREQ(quelta_last_error(), "next failed: UnterminatedQuote");
  slot_set("scanner is null");
  EXPECT_STREQ(quelta_last_error(), "scanner is null");
  slot_clear();
  EXPECT_EQ(quelta_last_error(), nullptr);
}

TEST(ErrorSlot, LongestMessageAndOverflow) {
  std::string fits(511, 'm');
  slot_set(fits.c_str());
  EXPECT_EQ(std::string(quelta_last_error()), fits);
  std::string prefix(500, 'p');
  slot_set(prefix.c_str(), Error::OutOfMemory);  // 511 bytes exactly
  EXPECT_EQ(std::string(quelta_last_error()), prefix + "OutOfMemory");
  slot_set(std::string(512, 'm').c_str());
  EXPECT_STREQ(quelta_last_error(), "error (message too long)");
  slot_set((prefix + "x").c_str(), Error::OutOfMemory);
  EXPECT_STREQ(quelta_last_error(), "error (message too long)");
  slot_clear();
}

TEST(ErrorSlot, EveryConditionHasItsName) {
  EXPECT_STREQ(error_name(Error::ParserInvalidJson), "InvalidJSON");
  EXPECT_STREQ(error_name(Error::InvalidJsonRow), "InvalidJson");
  EXPECT_STREQ(error_name(Error::NestedValueNotSupported), "NestedValueNotSupported");
  for (int i = 1; i <= static_cast<int>(Error::Unexpected); ++i)
    EXPECT_STRNE(error_name(static_cast<Error>(i)), "None") << i;
}

}  // namespace
}  // namespace quelta::api
