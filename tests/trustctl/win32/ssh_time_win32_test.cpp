// A local allowed-signers time that Windows' mktime cannot place (one past the
// year 3000) is refused, while the same time in UTC reads.
#include <gtest/gtest.h>

#include "sign/ssh_time.h"

namespace tl::ctl::sign {
namespace {

TEST(SshTimeWindows, LocalTimesPastTheYear3000AreRefused) {
  EXPECT_FALSE(ParseSshTime("30010101").has_value());
  EXPECT_TRUE(ParseSshTime("30010101Z").has_value());
  EXPECT_TRUE(ParseSshTime("29990101").has_value());
}

}  // namespace
}  // namespace tl::ctl::sign
