// Lifespan time texts: timestamps with and without a zone, durations.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <ctime>
#include <string>

#include "TimeText.h"

namespace {

// Runs the test in a zone five hours west of UTC, so that "local" is
// distinguishable from UTC.
class TimeTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    mHadTz = tz != nullptr;
    if (mHadTz) mTz = tz;
    setenv("TZ", "EST5", 1);
    tzset();
  }
  void TearDown() override {
    if (mHadTz) {
      setenv("TZ", mTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool mHadTz = false;
  std::string mTz;
};

const long k20080501T0800Z = 1209628800;  // 2008-05-01T08:00:00 UTC

TEST_F(TimeTextTest, Timestamps) {
  struct Case {
    const char* text;
    bool ok;
    long utc;
  };
  const Case cases[] = {
      {"2008-05-01T10:00:00+02:00", true, k20080501T0800Z},
      {"2008-05-01T03:00:00-05:00", true, k20080501T0800Z},
      {"2008-05-01T08:00:00+00:00", true, k20080501T0800Z},
      {"2008-05-01T08:00:00Z", true, k20080501T0800Z},      // Z is UTC
      {"2008-05-01T03:00:00", true, k20080501T0800Z},       // no zone: local time (UTC-5)
      {"2008-05-01T03:00:00+0000", true, k20080501T0800Z},  // not a zone of this form: local
      {"2008-05-01T08:00:00.250Z", true, k20080501T0800Z},
      {"2008-05-01", false, 0},
      {"yesterday", false, 0},
      {"", false, 0},
      {"2008-13-01T08:00:00Z", false, 0},
      {"2008-05-01T25:00:00Z", false, 0},
  };
  for (const Case& c : cases) {
    long out = -42;
    EXPECT_EQ(c.ok, flp2::parseTimestamp(c.text, out)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.utc, out) << c.text;
    }
    long converted = -42;
    EXPECT_EQ(c.ok, flp2::convertTimeText(c.text, 1000, converted)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.utc, converted) << c.text;
    }
  }
}

TEST_F(TimeTextTest, Durations) {
  struct Case {
    const char* text;
    bool ok;
    long seconds;
  };
  const Case cases[] = {
      {"P1W2DT3H4M5S", true, 604800 + 2 * 86400 + 3 * 3600 + 4 * 60 + 5},
      {"PT", true, 0},
      {"P", true, 0},
      {"P3D", true, 3 * 86400},
      {"PT90M", true, 5400},
      {"PT0S", true, 0},
      {"P1Y", false, 0},  // years are not accepted
      {"P1M", false, 0},  // neither are months
      {"P1Y2M", false, 0},
      {"PW", false, 0},  // a unit without digits
      {"PTH", false, 0},
      {"P-1D", false, 0},
      {"P1DT", true, 86400},
      {"P99999999999999999999W", false, 0},  // does not fit
      {"P9999999999999999W", false, 0},      // nor does its product
      {"p1D", false, 0},
      {"P1D ", false, 0},
  };
  for (const Case& c : cases) {
    long out = -42;
    EXPECT_EQ(c.ok, flp2::parseDuration(c.text, out)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.seconds, out) << c.text;
    }
  }
}

TEST_F(TimeTextTest, DurationsCountFromNow) {
  long out = 0;
  ASSERT_TRUE(flp2::convertTimeText("PT1H", 5000, out));
  EXPECT_EQ(5000 + 3600, out);
  EXPECT_FALSE(flp2::convertTimeText("P1Y", 5000, out));
  // A text starting with P is a duration only: it is not read as a timestamp.
  EXPECT_FALSE(flp2::convertTimeText("P2008-05-01T08:00:00Z", 5000, out));
  EXPECT_FALSE(flp2::convertTimeText("P1000000000000W", LONG_MAX - 10, out));
}

}  // namespace
