#include "platform/machine.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// systemd's form: 32 lower-case hexadecimal digits, without the file's line end.
TEST(MachineIdentity, IsTheMachineIdAsItsDigits) {
  const std::string Id = Platform::MachineIdentity();
  EXPECT_TRUE(std::regex_match(Id, std::regex("[0-9a-f]{32}"))) << "\"" << Id << "\"";
  EXPECT_EQ(Platform::MachineIdentity(), Id);
}

}  // namespace
