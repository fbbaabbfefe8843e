#include "scripts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"

namespace {

class Scripts : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/corvex_scripts_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmpdir = dir;
    memset(&cfg, 0, sizeof cfg);
  }
  void TearDown() override {
    verbose = 0;
    std::string cmd = "rm -rf " + tmpdir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // A script file without execute permission: it is read by "sh".
  std::string script(const char* name, const std::string& body) {
    std::string path = tmpdir + "/" + name;
    FILE* f = fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr);
    fputs(body.c_str(), f);
    fclose(f);
    chmod(path.c_str(), 0644);
    return path;
  }

  std::string read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return "<missing>";
    std::string out;
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
    fclose(f);
    return out;
  }

  mux_config cfg;
  std::string tmpdir;
};

TEST_F(Scripts, NotConfiguredIsAWarningOnly) {
  verbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_up_script(&cfg), 0);
  cfg.down = "";
  EXPECT_EQ(run_down_script(&cfg), 0);
  std::string out = testing::internal::GetCapturedStdout();
  size_t first = out.find(" warning: script not set\n");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find(" warning: script not set\n", first + 1), std::string::npos) << out;
}

TEST_F(Scripts, WordsAfterThePathAreArgumentsAndTheEnvironmentIsInherited) {
  std::string out = tmpdir + "/out";
  std::string path = script("up.sh", "echo \"$# $1 $2 $CORVEX_SCRIPT_PROBE\" > " + out + "\n");
  std::string value = path + " first second";
  cfg.up = value.c_str();
  setenv("CORVEX_SCRIPT_PROBE", "probe", 1);
  EXPECT_EQ(run_up_script(&cfg), 0);
  unsetenv("CORVEX_SCRIPT_PROBE");
  EXPECT_EQ(read_file(out), "2 first second probe\n");
}

TEST_F(Scripts, UpAndDownRunTheirOwnPaths) {
  std::string out = tmpdir + "/out";
  std::string up = script("up.sh", "echo up >> " + out + "\n");
  std::string down = script("down.sh", "echo down >> " + out + "\n");
  cfg.up = up.c_str();
  cfg.down = down.c_str();
  EXPECT_EQ(run_down_script(&cfg), 0);
  EXPECT_EQ(run_up_script(&cfg), 0);
  EXPECT_EQ(read_file(out), "down\nup\n");
}

TEST_F(Scripts, NonZeroStatusIsReportedAsWaitStatus) {
  verbose = 1;
  std::string path = script("fail.sh", "exit 3\n");
  cfg.down = path.c_str();
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_down_script(&cfg), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" script " + path + " returned non-zero return code: 768\n"),
            std::string::npos)
      << out;
}

TEST_F(Scripts, MissingScriptFails) {
  std::string path = tmpdir + "/nowhere.sh";
  cfg.up = path.c_str();
  EXPECT_EQ(run_up_script(&cfg), -1);
}

}  // namespace
