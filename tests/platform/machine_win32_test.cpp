#include "platform/machine.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// The cryptography key's GUID, without braces and without the stored null.
TEST(MachineIdentity, IsTheMachineGuid) {
  const std::string Id = Platform::MachineIdentity();
  EXPECT_TRUE(std::regex_match(Id, std::regex("[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}"))) << "\"" << Id << "\"";
  EXPECT_EQ(Platform::MachineIdentity(), Id);
}

}  // namespace
