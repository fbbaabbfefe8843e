// The configuration reader: line handling, key/value split, conversions and
// range checks, defaults, the environment export and the logged messages.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_stdout.h"
#include "config.h"
#include "log.h"

namespace {

// The messages of captured log lines, each stripped of its 24-character
// time stamp and the blank after it (the stamp itself is checked in the log
// tests).
std::vector<std::string> messages_of(const std::string& out) {
  std::vector<std::string> msgs;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    msgs.push_back(line.size() >= 25 && line[24] == ' ' ? line.substr(25) : "<unstamped> " + line);
    pos = end + 1;
  }
  return msgs;
}

// Every name the tests may export, removed again after each test so that no
// test sees another's variables.
const char* const kExportedNames[] = {
    "server",   "port",    "password", "mtu",       "intf",       "max_muxing_time",
    "max_call", "waiting_time", "rtp_timeout", "sip_port", "pidfile",  "logfile",
    "up",       "down",    "allow_all", "allow_ping", "max_idle_cycle", "server ",
    "corvex_extra_key", "Server", "after_failure", "ingress_filter"};

std::string network_bytes(uint16_t field) {
  unsigned char b[2];
  memcpy(b, &field, sizeof b);
  char text[8];
  snprintf(text, sizeof text, "%02x%02x", b[0], b[1]);
  return text;
}

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvex-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    path_ = dir_ + "/corvex.conf";
    memset(&cfg_, 0, sizeof cfg_);
    config_set_defaults(&cfg_);
    memset(&defaults_, 0, sizeof defaults_);
    config_set_defaults(&defaults_);
    for (const char* name : kExportedNames) unsetenv(name);
    verbose = 0;
  }

  void TearDown() override {
    verbose = 0;
    release_texts();
    for (const char* name : kExportedNames) unsetenv(name);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // Text values from the file are heap copies that the program keeps for its
  // whole life; the tests give them back.
  void release_texts() {
    release(&mux_config::password);
    release(&mux_config::server);
    release(&mux_config::intf);
    release(&mux_config::up);
    release(&mux_config::down);
    release(&mux_config::pidfile);
    release(&mux_config::logfile);
  }

  void release(const char* mux_config::*field) {
    const char* text = cfg_.*field;
    if (text != nullptr && text != defaults_.*field) free(const_cast<char*>(text));
    cfg_.*field = nullptr;
  }

  // A fresh record with its defaults, then the file.
  int load(const std::string& text) {
    release_texts();
    memset(&cfg_, 0, sizeof cfg_);
    config_set_defaults(&cfg_);
    FILE* f = fopen(path_.c_str(), "wb");
    if (f == nullptr) return -100;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return load_config_file(&cfg_, path_.c_str());
  }

  // Loads with the verbose flag set; the logged messages go to `msgs`.
  int load_verbose(const std::string& text, std::vector<std::string>* msgs) {
    int result = 0;
    verbose = 1;
    std::string out = capture_stdout([&] { result = load(text); });
    verbose = 0;
    *msgs = messages_of(out);
    return result;
  }

  static std::string env(const char* name) {
    const char* v = getenv(name);
    return v == nullptr ? "<unset>" : v;
  }

  std::string dir_;
  std::string path_;
  mux_config cfg_;
  mux_config defaults_;
};

using Msgs = std::vector<std::string>;

// --- Reading lines ---------------------------------------------------------

TEST_F(ConfigFile, LineOf510CharactersIsTheLongestAccepted) {
  std::string value(510 - strlen("server="), 'h');
  ASSERT_EQ(load("server=" + value + "\n"), 0);
  EXPECT_EQ(std::string(cfg_.server), value);
  EXPECT_EQ(env("server"), value);
}

TEST_F(ConfigFile, LineOf511CharactersIsTooLong) {
  Msgs msgs;
  std::string line = "server=" + std::string(511 - strlen("server="), 'h');
  EXPECT_EQ(load_verbose("# first\n" + line + "\nport=1\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{"line 2 too long in " + path_});
  // The line was refused before its key was looked at.
  EXPECT_EQ(cfg_.server, nullptr);
  EXPECT_EQ(env("server"), "<unset>");
}

TEST_F(ConfigFile, LastLineWithoutLineFeedIsRefusedAsTooLong) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\nport=42001", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{"line 2 too long in " + path_});
  EXPECT_EQ(cfg_.port, htons(42000));
}

TEST_F(ConfigFile, CrLfFileReadsLikeLfFile) {
  ASSERT_EQ(load("# comment\r\n\r\nserver=host.example\r\nport=42010\r\nintf=tun9\r\n"), 0);
  EXPECT_STREQ(cfg_.server, "host.example");
  EXPECT_STREQ(cfg_.intf, "tun9");
  EXPECT_EQ(cfg_.port, htons(42010));
  EXPECT_EQ(env("server"), "host.example");
}

TEST_F(ConfigFile, LoneCarriageReturnsCutTheLine) {
  // Reads end only at a line feed: the port setting after the first carriage
  // return belongs to the same read and is cut away.
  ASSERT_EQ(load("server=a\rport=7\rmtu=9\n"), 0);
  EXPECT_STREQ(cfg_.server, "a");
  EXPECT_EQ(cfg_.port, htons(42000));
  EXPECT_EQ(cfg_.mtu, 1472);
}

TEST_F(ConfigFile, OnlyLinesStartingWithHashAreComments) {
  ASSERT_EQ(load("#server=nope\n\nserver=yes\n"), 0);
  EXPECT_STREQ(cfg_.server, "yes");

  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\n # indented comment\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{path_ + ":2: \"=\" is not found in this line:  # indented comment"});
}

// --- Splitting key and value --------------------------------------------------

TEST_F(ConfigFile, OnlyTheFirstEqualsSignSplits) {
  ASSERT_EQ(load("server=s\nup=/etc/corvex/up.sh --mode=a=b\ndown=\n"), 0);
  EXPECT_STREQ(cfg_.up, "/etc/corvex/up.sh --mode=a=b");
  EXPECT_EQ(env("up"), "/etc/corvex/up.sh --mode=a=b");
  // An empty value is an empty text, not an absent one.
  ASSERT_NE(cfg_.down, nullptr);
  EXPECT_STREQ(cfg_.down, "");
  EXPECT_EQ(env("down"), "");
}

TEST_F(ConfigFile, EmptyKeyFailsTheExport) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\n=value\nafter_failure=1\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"setenv"});
  // Parsing stopped at the failure.
  EXPECT_EQ(env("after_failure"), "<unset>");
}

TEST_F(ConfigFile, BlanksAroundEqualsBelongToKeyAndValue) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("server = host\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{"server not set in config file"});
  EXPECT_EQ(env("server "), " host");
  EXPECT_EQ(env("server"), "<unset>");
}

TEST_F(ConfigFile, KeysAreCaseSensitiveAndLaterLinesWin) {
  EXPECT_EQ(load("Server=a\n"), -1);
  EXPECT_EQ(env("Server"), "a");

  ASSERT_EQ(load("server=a\nmtu=1000\nmtu=1200\n"), 0);
  EXPECT_EQ(cfg_.mtu, 1200);
  EXPECT_EQ(env("mtu"), "1200");

  // Text settings too; the replaced copy is given back (the sanitizer build
  // reports it otherwise).
  ASSERT_EQ(load("server=a\nintf=tun1\nserver=b\nintf=tun2\nintf=tun3\n"), 0);
  EXPECT_STREQ(cfg_.server, "b");
  EXPECT_STREQ(cfg_.intf, "tun3");
  EXPECT_EQ(env("server"), "b");
}

TEST_F(ConfigFile, MissingLineSeparatorIsMalformed) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\nport 42000\nmtu=9999\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{path_ + ":2: \"=\" is not found in this line: port 42000"});
}

// --- Numbers ------------------------------------------------------------------

TEST_F(ConfigFile, MtuFrom1To9000) {
  ASSERT_EQ(load("server=a\nmtu=9000\n"), 0);
  EXPECT_EQ(cfg_.mtu, 9000);

  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\nmtu=9001\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"MTU 9001 is too large"});
  // Exported before it was checked.
  EXPECT_EQ(env("mtu"), "9001");

  // Below 1 no frame could be built; -1 once wrapped to 65535.
  EXPECT_EQ(load_verbose("server=a\nmtu=-1\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"MTU -1 is too small"});
  EXPECT_EQ(load("server=a\nmtu=0\n"), 1);
  ASSERT_EQ(load("server=a\nmtu=1\n"), 0);
  EXPECT_EQ(cfg_.mtu, 1);
}

TEST_F(ConfigFile, MaxCallFrom1To255) {
  ASSERT_EQ(load("server=a\nmax_call=1\n"), 0);
  EXPECT_EQ(cfg_.max_call, 1);
  ASSERT_EQ(load("server=a\nmax_call=255\n"), 0);
  EXPECT_EQ(cfg_.max_call, 255);

  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\nmax_call=0\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"max_call 0 is illegal"});
  EXPECT_EQ(load_verbose("server=a\nmax_call=256\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"max_call 256 is illegal"});
  EXPECT_EQ(load_verbose("server=a\nmax_call=-3\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"max_call -3 is illegal"});
}

TEST_F(ConfigFile, IngressFilterIsOffByDefaultAndZeroOrOne) {
  ASSERT_EQ(load("server=a\n"), 0);
  EXPECT_EQ(cfg_.ingress_filter, 0);
  ASSERT_EQ(load("server=a\ningress_filter=1\n"), 0);
  EXPECT_EQ(cfg_.ingress_filter, 1);
  EXPECT_EQ(env("ingress_filter"), "1");
  ASSERT_EQ(load("server=a\ningress_filter=1\ningress_filter=0\n"), 0);
  EXPECT_EQ(cfg_.ingress_filter, 0);

  Msgs msgs;
  EXPECT_EQ(load_verbose("server=a\ningress_filter=2\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"ingress_filter 2 is illegal"});
  EXPECT_EQ(load_verbose("server=a\ningress_filter=-1\n", &msgs), 1);
  EXPECT_EQ(msgs, Msgs{"ingress_filter -1 is illegal"});
}

// The warning about a password file others can read, as main gives it at start.
TEST_F(ConfigFile, PasswordFileReadableByOthersIsWarnedAbout) {
  struct probe {
    const char* text;
    mode_t mode;
    const char* readers;  // nullptr: no warning
  };
  const probe probes[] = {
      {"server=a\npassword=secret\n", 0644, "group and others"},
      {"server=a\npassword=secret\n", 0640, "group"},
      {"server=a\npassword=secret\n", 0604, "others"},
      {"server=a\npassword=secret\n", 0600, nullptr},
      {"server=a\n", 0644, nullptr},             // no password
      {"server=a\npassword=\n", 0644, nullptr},  // an empty one
  };
  for (const probe& p : probes) {
    SCOPED_TRACE(p.text + std::to_string(p.mode));
    ASSERT_EQ(load(p.text), 0);
    ASSERT_EQ(chmod(path_.c_str(), p.mode), 0);
    cfg_.config_path = path_.c_str();
    int warned = -1;
    verbose = 1;
    Msgs msgs = messages_of(capture_stdout([&] { warned = warn_if_password_readable(&cfg_); }));
    verbose = 0;
    cfg_.config_path = nullptr;
    if (p.readers == nullptr) {
      EXPECT_EQ(warned, 0);
      EXPECT_EQ(msgs, Msgs{});
      continue;
    }
    EXPECT_EQ(warned, 1);
    char mode[8];
    snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(p.mode));
    EXPECT_EQ(msgs, Msgs{"warning: config file " + path_ +
                         " holds the password and is readable by " + p.readers + " (mode " +
                         mode + ")"});
  }
}

TEST_F(ConfigFile, PortZeroIsCaughtAfterTheWholeFile) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("port=0\nserver=a\nintf=tun5\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{"port not set in config file"});
  EXPECT_STREQ(cfg_.intf, "tun5");

  for (const char* port : {"abc", "65536", ""}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(load_verbose(std::string("server=a\nport=") + port + "\n", &msgs), -1);
    EXPECT_EQ(msgs, Msgs{"port not set in config file"});
  }
}

TEST_F(ConfigFile, MissingServerIsReportedBeforeMissingPort) {
  Msgs msgs;
  EXPECT_EQ(load_verbose("port=0\n", &msgs), -1);
  EXPECT_EQ(msgs, Msgs{"server not set in config file"});
}

TEST_F(ConfigFile, PortsAreHeldInNetworkByteOrder) {
  ASSERT_EQ(load("server=a\nport=42001\nsip_port=5061\n"), 0);
  EXPECT_EQ(network_bytes(cfg_.port), "a411");
  EXPECT_EQ(network_bytes(cfg_.sip_port), "13c5");
  // Low 16 bits of the number.
  ASSERT_EQ(load("server=a\nport=65537\n"), 0);
  EXPECT_EQ(network_bytes(cfg_.port), "0001");
}

TEST_F(ConfigFile, IntegerConversionAndNarrowing) {
  ASSERT_EQ(load("server=a\n"
                 "max_muxing_time= \t+120000ms\n"
                 "waiting_time=-1\n"
                 "rtp_timeout=abc\n"
                 "allow_all=257\n"
                 "allow_ping=1\n"
                 "max_idle_cycle=70000\n"),
            0);
  EXPECT_EQ(cfg_.max_muxing_time, 120000u);
  EXPECT_EQ(cfg_.waiting_time, 0xFFFFFFFFu);
  EXPECT_EQ(cfg_.rtp_timeout, 0u);
  EXPECT_EQ(cfg_.allow_all, 1);
  EXPECT_EQ(cfg_.allow_ping, 1);
  EXPECT_EQ(cfg_.max_idle_cycle, 70000 - 65536);
}

// --- Defaults and text settings -------------------------------------------

TEST_F(ConfigFile, ServerLineAloneKeepsEveryDefault) {
  ASSERT_EQ(load("# only the server\nserver=10.0.0.1\n"), 0);
  EXPECT_STREQ(cfg_.server, "10.0.0.1");
  EXPECT_EQ(network_bytes(cfg_.port), "a410");      // 42000
  EXPECT_EQ(network_bytes(cfg_.sip_port), "13c4");  // 5060
  EXPECT_EQ(cfg_.mtu, 1472);
  EXPECT_EQ(cfg_.max_call, 255);
  EXPECT_EQ(cfg_.max_muxing_time, 80000u);
  EXPECT_EQ(cfg_.rtp_timeout, 60000000u);
  EXPECT_STREQ(cfg_.intf, "tun0");
  EXPECT_STREQ(cfg_.pidfile, "/var/run/larkspan.pid");
  EXPECT_STREQ(cfg_.logfile, "/var/log/larkspan.log");
  EXPECT_EQ(cfg_.password, nullptr);
  EXPECT_EQ(cfg_.up, nullptr);
  EXPECT_EQ(cfg_.down, nullptr);
  EXPECT_EQ(cfg_.waiting_time, 0u);
  EXPECT_EQ(cfg_.allow_all, 0);
  EXPECT_EQ(cfg_.allow_ping, 0);
  EXPECT_EQ(cfg_.max_idle_cycle, 0);
  EXPECT_EQ(cfg_.command, 0);
}

TEST_F(ConfigFile, TextSettingsAreStoredVerbatim) {
  ASSERT_EQ(load("server=srv\npassword=p=w d\nintf= tun3 \npidfile=/tmp/p\nlogfile=/tmp/l\n"
                 "up=u.sh\ndown=d.sh\n"),
            0);
  EXPECT_STREQ(cfg_.password, "p=w d");
  EXPECT_STREQ(cfg_.intf, " tun3 ");
  EXPECT_STREQ(cfg_.pidfile, "/tmp/p");
  EXPECT_STREQ(cfg_.logfile, "/tmp/l");
  EXPECT_STREQ(cfg_.up, "u.sh");
  EXPECT_STREQ(cfg_.down, "d.sh");
}

// --- Environment ------------------------------------------------------------

TEST_F(ConfigFile, EveryKeyButPasswordIsExported) {
  ASSERT_EQ(load("password=secret\nserver=srv\nintf= tun3 \ncorvex_extra_key=x=y\nport=42002\n"), 0);
  EXPECT_STREQ(cfg_.password, "secret");
  EXPECT_EQ(env("password"), "<unset>");
  EXPECT_EQ(env("server"), "srv");
  EXPECT_EQ(env("intf"), " tun3 ");
  EXPECT_EQ(env("port"), "42002");
  // Unknown keys are exported under their own name and otherwise ignored.
  EXPECT_EQ(env("corvex_extra_key"), "x=y");
}

// --- Messages -----------------------------------------------------------------

TEST_F(ConfigFile, UnreadableFileLogsTwoLines) {
  Msgs msgs;
  verbose = 1;
  std::string missing = dir_ + "/absent.conf";
  int result = 0;
  std::string out = capture_stdout([&] { result = load_config_file(&cfg_, missing.c_str()); });
  verbose = 0;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(messages_of(out), (Msgs{"fopen", "Can't open config file: " + missing}));
}

TEST_F(ConfigFile, FailuresAreSilentWithoutVerbose) {
  const char* bad_files[] = {
      "port=1\n",              // no server
      "server=a\nmtu=9001\n",  // range
      "server=a\nnoequals\n",  // malformed
      "=x\n",                  // export
      "server=a",              // no line feed
  };
  for (const char* text : bad_files) {
    SCOPED_TRACE(text);
    int result = 0;
    std::string out = capture_stdout([&] { result = load(text); });
    EXPECT_NE(result, 0);
    EXPECT_EQ(out, "");
  }
  std::string missing = dir_ + "/absent.conf";
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(load_config_file(&cfg_, missing.c_str()), -1); }), "");
}

}  // namespace
