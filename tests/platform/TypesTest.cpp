// Platform value types: UTF-8 reading and writing, byte-string helpers,
// the reference pointer and the thread primitives.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/PtrRef.h"
#include "platform/Thread.h"
#include "platform/Types.h"

namespace {

std::string utf8Of(const qvTypes::String& text) {
  std::ostringstream out;
  UTF_8Util::LineWriter writer(out);
  writer.write(text);
  writer.flush();
  return out.str();
}

TEST(Utf8, LinesRoundTripThroughWriterAndReader) {
  const std::vector<qvTypes::String> lines = {
      L"plain ascii", L"", L"\u00e4\u00f6\u00fc \u20ac \u6f22\u5b57 \U0001F600 \U0010FFFF", L"tab\there",
      qvTypes::String(L"nul") + L'\0' + L"inside",
  };
  std::stringstream buffer;
  UTF_8Util::LineWriter writer(buffer);
  for (const qvTypes::String& line : lines) writer.writeLine(line);
  writer.write(L"last line without end");
  writer.flush();

  UTF_8Util::LineReader reader(buffer);
  qvTypes::String line;
  for (const qvTypes::String& expected : lines) {
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(expected, line);
  }
  ASSERT_TRUE(reader.readLine(line));
  EXPECT_EQ(L"last line without end", line);
  EXPECT_FALSE(reader.readLine(line));
}

TEST(Utf8, CrLfEndsALine) {
  std::istringstream in("one\r\ntwo\nthree\r");
  UTF_8Util::LineReader reader(in);
  qvTypes::String line;
  ASSERT_TRUE(reader.readLine(line));
  EXPECT_EQ(L"one", line);
  ASSERT_TRUE(reader.readLine(line));
  EXPECT_EQ(L"two", line);
  ASSERT_TRUE(reader.readLine(line));
  EXPECT_EQ(L"three", line);
  EXPECT_FALSE(reader.readLine(line));
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
  struct Case {
    const char* name;
    std::string bytes;
    qvTypes::String text;
  };
  const Case cases[] = {
      {"lone continuation byte", "a\x80" "b", L"a\uFFFD" L"b"},
      {"byte never used", "\xff", L"\uFFFD"},
      {"truncated at end", "x\xc3", L"x\uFFFD"},
      {"truncated before ascii", "\xe2\x82" "A", L"\uFFFD" L"A"},
      {"overlong slash", "\xc0\xaf", L"\uFFFD"},
      {"overlong three bytes", "\xe0\x80\xaf", L"\uFFFD"},
      {"surrogate", "\xed\xa0\x80", L"\uFFFD"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", L"\uFFFD"},
      {"valid four bytes", "\xf0\x9f\x98\x80", L"\U0001F600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.text, MString::toWide(c.bytes));
  }
  // Wide values that are no character are written as U+FFFD.
  qvTypes::String bad;
  bad.push_back(static_cast<wchar_t>(0xD800));
  bad.push_back(static_cast<wchar_t>(0x110000));
  EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd", utf8Of(bad));
}

TEST(MStringTest, SplitAndNumbers) {
  std::string before = "b";
  std::string after = "a";
  EXPECT_FALSE(MString::split("nocolon", ':', before, after));
  EXPECT_EQ("b", before);
  EXPECT_EQ("a", after);
  EXPECT_TRUE(MString::split("wap:true:x", ':', before, after));
  EXPECT_EQ("wap", before);
  EXPECT_EQ("true:x", after);

  EXPECT_EQ((std::vector<std::string>{""}), MString::splitAll("", ','));
  EXPECT_EQ((std::vector<std::string>{"", "", "a", "", "b", ""}), MString::splitAll(",,a,,b,", ','));

  struct Case {
    const char* text;
    bool ok;
    long value;
  };
  const Case cases[] = {
      {"42", true, 42},  {"  -7", true, -7},  {"12abc", true, 12},
      {"abc", false, 0}, {"", false, 0},      {"99999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    long out = -1;
    EXPECT_EQ(c.ok, MString::toInt(c.text, out));
    EXPECT_EQ(c.ok ? c.value : -1, out);
  }
  EXPECT_TRUE(MString::startsWith("RuntimeValues.X", "RuntimeValues."));
  EXPECT_FALSE(MString::startsWith("Run", "RuntimeValues."));
}

TEST(TimeConversion, MillisRoundTowardsMinusInfinity) {
  EXPECT_EQ(1, qvTypes::fromMillisSinceEpoch(1999));
  EXPECT_EQ(0, qvTypes::fromMillisSinceEpoch(0));
  EXPECT_EQ(-1, qvTypes::fromMillisSinceEpoch(-1));
  EXPECT_EQ(-1, qvTypes::fromMillisSinceEpoch(-1000));
  EXPECT_EQ(-2, qvTypes::fromMillisSinceEpoch(-1001));
  EXPECT_EQ(L"-15", qvTypes::toString(-15));
}

struct Base {
  virtual ~Base() = default;
};
struct Tracked : Base {
  explicit Tracked(int* deletions) : mDeletions(deletions) {}
  ~Tracked() override { ++*mDeletions; }
  int* mDeletions;
};

// GCC 12 cannot see that the count stays above zero while a copy lives and
// warns about a read after the (never taken) delete.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
TEST(PtrRefTest, CopiesShareOneCountAndTheLastDeletes) {
  int deletions = 0;
  {
    PtrRef<Tracked> a(new Tracked(&deletions));
    EXPECT_EQ(1, a.useCount());
    PtrRef<Base> asBase = a;  // derived to base shares the count
    EXPECT_EQ(2, a.useCount());
    {
      PtrRef<Tracked> b = a;
      PtrRef<Tracked> moved = std::move(b);
      EXPECT_TRUE(b.isNull());
      EXPECT_EQ(3, a.useCount());
    }
    EXPECT_EQ(2, a.useCount());
    a.reset();
    EXPECT_EQ(0, deletions);
    EXPECT_EQ(1, asBase.useCount());
  }
  EXPECT_EQ(1, deletions);

  PtrRef<Tracked> empty;
  PtrRef<Tracked> copy = empty;
  EXPECT_TRUE(copy.isNull());
  EXPECT_EQ(0, copy.useCount());
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

TEST(ThreadPrimitives, SemaphoreCountsAndWakesAcrossThreads) {
  Semaphore two(2);
  EXPECT_TRUE(two.wait(0));
  EXPECT_TRUE(two.wait(0));
  EXPECT_FALSE(two.wait(0));

  Semaphore signal(0);
  bool done = false;
  std::thread waiter([&] {
    signal.wait();
    done = true;
  });
  signal.notify();
  waiter.join();
  EXPECT_TRUE(done);
}

TEST(ThreadPrimitives, MutexLockTimesOutWhileHeld) {
  Mutex m;
  ASSERT_TRUE(m.lock());
  bool got = true;
  std::thread other([&] { got = m.lock(1); });
  other.join();
  EXPECT_FALSE(got);
  m.unlock();
  std::thread again([&] {
    got = m.lock(1000);
    if (got) m.unlock();
  });
  again.join();
  EXPECT_TRUE(got);
}

}  // namespace
