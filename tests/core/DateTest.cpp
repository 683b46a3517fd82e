// Conversions between dates and the two stored forms (seconds since 1970 in
// the catalog, seconds since 2001 in our JSON documents).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/Date.h"

namespace kv {
namespace {

TEST(Date, ReferenceAndUnixFormsAgree) {
  const Date d = fromUnixSeconds(kReferenceDateOffset + 10.0);
  EXPECT_EQ(toReferenceSeconds(d), 10.0);
  EXPECT_EQ(fromReferenceSeconds(10.0), d);
}

TEST(Date, FractionsOfTodaysDatesSurviveARoundTrip) {
  const double stored = 1700000123.25;
  EXPECT_EQ(toUnixSeconds(fromUnixSeconds(stored)), stored);
  EXPECT_EQ(toReferenceSeconds(fromUnixSeconds(stored)), stored - kReferenceDateOffset);
  const Date d = fromUnixSeconds(1700000000.0);
  EXPECT_EQ(secondsBetween(d, addSeconds(d, Seconds(0.0005))).count(), 0.0005);
}

TEST(Date, ValuesOutsideTheRangeAreClampedNotOverflowed) {
  for (double v : {1e300, -1e300, std::numeric_limits<double>::infinity(), std::nan("")}) {
    SCOPED_TRACE(v);
    EXPECT_TRUE(std::isfinite(toUnixSeconds(fromUnixSeconds(v))));
    EXPECT_TRUE(std::isfinite(toReferenceSeconds(fromReferenceSeconds(v))));
  }
}

}  // namespace
}  // namespace kv
