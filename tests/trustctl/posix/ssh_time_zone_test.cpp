// Allowed-signers times without a zone are local time taken as standard time,
// as ssh-keygen reads them: checked under zones set for the test (POSIX TZ).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "sign/ssh_time.h"

namespace tl::ctl::sign {
namespace {

class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  std::optional<std::string> old_;
};

TEST(SshTimeZone, LocalTimeIsStandardTimeOfTheZone) {
  const int64_t january = *ParseSshTime("20300115Z");
  const int64_t july = *ParseSshTime("20300715Z");
  {
    ZoneScope zone("EST5");
    EXPECT_EQ(ParseSshTime("20300115"), january + 5 * 3600);
    EXPECT_EQ(ParseSshTime("203001151230"), january + 5 * 3600 + 12 * 3600 + 30 * 60);
  }
  {
    // Even in summer the hour is standard time: the daylight flag is clear.
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(ParseSshTime("20300715"), july + 5 * 3600);
  }
  {
    ZoneScope zone("UTC0");
    EXPECT_EQ(ParseSshTime("20300715"), july);
  }
}

}  // namespace
}  // namespace tl::ctl::sign
