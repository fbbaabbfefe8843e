// Where the daemon's files may live, and the writer of files readers must
// only see whole.
#include "file_safety.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "atomic_file.h"

namespace {

struct stat make_stat(mode_t mode, uid_t uid, nlink_t links = 1) {
  struct stat st {};
  st.st_mode = mode;
  st.st_uid = uid;
  st.st_nlink = links;
  return st;
}

TEST(FileSafety, FileVerdicts) {
  const uid_t me = 1000;
  struct stat st = make_stat(S_IFREG | 0600, me);
  EXPECT_EQ(judge_file(&st, me, false), FILE_OK);
  st = make_stat(S_IFREG | 0600, 0);
  EXPECT_EQ(judge_file(&st, me, false), FILE_FOREIGN_OWNER);
  st = make_stat(S_IFREG | 0620, me);
  EXPECT_EQ(judge_file(&st, me, false), FILE_OTHERS_WRITABLE);
  st = make_stat(S_IFREG | 0600, me, 2);
  EXPECT_EQ(judge_file(&st, me, false), FILE_LINKED);
  st = make_stat(S_IFIFO | 0600, me);
  EXPECT_EQ(judge_file(&st, me, true), FILE_NOT_REGULAR);
  // /dev/null: root's, writable by all, and still a fine log file.
  st = make_stat(S_IFCHR | 0666, 0);
  EXPECT_EQ(judge_file(&st, me, true), FILE_OK);
  EXPECT_EQ(judge_file(&st, me, false), FILE_NOT_REGULAR);
}

TEST(FileSafety, DirectoryVerdicts) {
  const uid_t me = 1000;
  struct stat st = make_stat(S_IFDIR | 0755, 0);
  EXPECT_EQ(judge_directory(&st, me, true), DIR_OK);
  st = make_stat(S_IFDIR | 0755, 1001);
  EXPECT_EQ(judge_directory(&st, me, false), DIR_FOREIGN_OWNER);
  // /tmp: fine above the file, not as the directory holding it.
  st = make_stat(S_IFDIR | 01777, 0);
  EXPECT_EQ(judge_directory(&st, me, false), DIR_OK);
  EXPECT_EQ(judge_directory(&st, me, true), DIR_OTHERS_WRITABLE);
  st = make_stat(S_IFDIR | 0775, 0);
  EXPECT_EQ(judge_directory(&st, me, false), DIR_OTHERS_WRITABLE);
  st = make_stat(S_IFREG | 0755, 0);
  EXPECT_EQ(judge_directory(&st, me, true), DIR_NOT_DIRECTORY);
}

class FileSafetyDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvex-safety-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::vector<std::string> entries(const std::string& d) {
    std::vector<std::string> out;
    DIR* h = opendir(d.c_str());
    if (h == nullptr) return out;
    // readdir64: a 32-bit build under qemu-user reads a 64-bit host's
    // directory offsets, which plain readdir cannot hold.
    while (dirent64* e = readdir64(h)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(h);
    return out;
  }
  std::string dir_;
};

TEST_F(FileSafetyDir, DirectoryChainIsJudgedUpToTheRoot) {
  const uid_t me = geteuid();
  const std::string file = dir_ + "/corvex.pid";
  EXPECT_EQ(check_file_directory(file.c_str(), me), 0);
  // A directory that does not exist is left for the opening to fail.
  EXPECT_EQ(check_file_directory((dir_ + "/missing/corvex.pid").c_str(), me), 0);

  const std::string shared = dir_ + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(check_file_directory((shared + "/corvex.pid").c_str(), me), -1);
  // Sticky above the file's own directory is fine; plain world write is not.
  const std::string own = shared + "/own";
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  EXPECT_EQ(check_file_directory((own + "/corvex.pid").c_str(), me), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  EXPECT_EQ(check_file_directory((own + "/corvex.pid").c_str(), me), -1);
  // Reached through a symbolic link, the real directories are judged.
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(own.c_str(), link.c_str()), 0);
  EXPECT_EQ(check_file_directory((link + "/corvex.pid").c_str(), me), -1);
  char why[512];
  EXPECT_EQ(directory_problem((link + "/corvex.pid").c_str(), me, why, sizeof why), -1);
  EXPECT_EQ(std::string(why), "unsafe directory " + shared + " for " + link +
                                   "/corvex.pid: writable by group or others (mode 777)");
}

int write_hello(FILE* f, const void*) { return fputs("hello\n", f) < 0 ? -1 : 0; }

TEST_F(FileSafetyDir, AtomicWriteUsesFreshNamesAndItsOwnMode) {
  const std::string path = dir_ + "/corvex.prom";
  // What another user could once plant at the foreseeable temporary name.
  ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
  const mode_t mask = umask(077);
  const int rc = write_file_atomically(path.c_str(), 0644, write_hello, nullptr);
  umask(mask);
  ASSERT_EQ(rc, 0);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_size, 6);
  auto names = entries(dir_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"corvex.prom", "corvex.prom.tmp"}));

  // Into a directory others can write, nothing is written.
  const std::string shared = dir_ + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(write_file_atomically((shared + "/corvex.prom").c_str(), 0644, write_hello, nullptr),
            -1);
  EXPECT_TRUE(entries(shared).empty());
}

}  // namespace
