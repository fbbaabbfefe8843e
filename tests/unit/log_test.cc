// Log lines: the time stamp, the message as given, one line feed per call,
// flushed at once; nothing without the verbose flag.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_stdout.h"
#include "log.h"

namespace {

std::string ctime_text(time_t t) {
  char text[32];
  if (ctime_r(&t, text) == nullptr) return "<ctime failed>";
  return std::string(text, strlen(text) - 1);  // without its line feed
}

// True when `stamp` is the ctime text of a second in [from, to].
bool stamp_within(const std::string& stamp, time_t from, time_t to) {
  for (time_t t = from; t <= to; ++t) {
    if (stamp == ctime_text(t)) return true;
  }
  return false;
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override { verbose = 0; }
  void TearDown() override { verbose = 0; }
};

TEST_F(Log, NothingWithoutVerbose) {
  std::string out = capture_stdout([] {
    log_message("fopen");
    log_message("line %d too long in %s", 3, "/etc/x");
    LOG_ERRNO("recvfrom() %s [%d]\n", ECONNREFUSED);
  });
  EXPECT_EQ(out, "");
}

TEST_F(Log, LineIsLocalCtimeBlankMessageLineFeed) {
  verbose = 1;
  time_t before = time(nullptr);
  std::string out = capture_stdout([] { log_message("line %d too long in %s", 7, "/etc/c.conf"); });
  time_t after = time(nullptr);

  const std::string msg = "line 7 too long in /etc/c.conf";
  ASSERT_EQ(out.size(), 24 + 1 + msg.size() + 1) << out;
  EXPECT_TRUE(stamp_within(out.substr(0, 24), before, after)) << out;
  EXPECT_EQ(out.substr(24), " " + msg + "\n");
}

TEST_F(Log, MessageTextIsKeptAsGiven) {
  verbose = 1;
  std::string out = capture_stdout([] {
    log_message(" write_sip_packet_to_sock() %s [%d]\n", "Message too long", 90);
    log_message("select() ");
    log_message("%s", "100% literal");
  });
  // Three calls, three stamps; the first message's own line feed leaves an
  // empty line behind it.
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    ASSERT_NE(end, std::string::npos) << "unterminated line in: " << out;
    lines.push_back(out.substr(pos, end - pos));
    pos = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u) << out;
  ASSERT_GE(lines[0].size(), 25u);
  EXPECT_EQ(lines[0].substr(24), "  write_sip_packet_to_sock() Message too long [90]");
  EXPECT_EQ(lines[1], "");
  ASSERT_GE(lines[2].size(), 25u);
  EXPECT_EQ(lines[2].substr(24), " select() ");
  ASSERT_GE(lines[3].size(), 25u);
  EXPECT_EQ(lines[3].substr(24), " 100% literal");
  EXPECT_EQ(lines[0].substr(0, 24).find('\n'), std::string::npos);
}

TEST_F(Log, ErrnoMessageCarriesTextAndNumber) {
  verbose = 1;
  std::string out = capture_stdout([] {
    errno = 0;
    LOG_ERRNO("recvfrom() %s [%d]\n", ECONNREFUSED);
  });
  ASSERT_GE(out.size(), 25u);
  EXPECT_EQ(out.substr(24), std::string(" recvfrom() ") + strerror(ECONNREFUSED) + " [" +
                                std::to_string(ECONNREFUSED) + "]\n\n");
}

TEST_F(Log, TimePrefixIgnoresVerboseAndWritesToTheGivenStream) {
  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  time_t before = time(nullptr);
  std::string on_stdout = capture_stdout([&] { print_time_prefix(stream); });
  time_t after = time(nullptr);
  EXPECT_EQ(on_stdout, "");

  char buf[64] = {};
  rewind(stream);
  size_t n = fread(buf, 1, sizeof buf - 1, stream);
  fclose(stream);
  ASSERT_EQ(n, 25u) << buf;
  std::string text(buf, n);
  EXPECT_EQ(text[24], ' ');
  EXPECT_TRUE(stamp_within(text.substr(0, 24), before, after)) << text;
}

}  // namespace
