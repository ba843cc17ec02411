#include "window/instance_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

namespace quillpost::window {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "quillpost-lock-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(LockLocation, UsesTheRuntimeFolderWhenItIsAbsolute) {
  TempFolder temp;
  const LockLocation location = FindLockLocation("/run/user/1000", temp.path(), 1000);
  EXPECT_EQ(location.file, fs::path("/run/user/1000/quillpost-smtp.lock"));
}

TEST(LockLocation, FallsBackToAPrivateFolderCreatedForTheUser) {
  TempFolder temp;
  const uid_t uid = ::getuid();
  for (const char* runtime_dir : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    const LockLocation location = FindLockLocation(runtime_dir, temp.path(), uid);
    const fs::path folder = temp.path() / ("quillpost-" + std::to_string(uid));
    EXPECT_EQ(location.file, folder / "quillpost-smtp.lock") << location.problem;
    struct stat info {};
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);
  }
}

TEST(LockLocation, RefusesAFallbackFolderOthersCouldTamperWith) {
  const uid_t uid = ::getuid();
  const std::string name = "quillpost-" + std::to_string(uid);
  {
    TempFolder temp;
    fs::create_directory(temp.path() / name);
    fs::permissions(temp.path() / name, fs::perms(0777));
    const LockLocation location = FindLockLocation(nullptr, temp.path(), uid);
    EXPECT_TRUE(location.file.empty());
    EXPECT_NE(location.problem.find("open to other users"), std::string::npos) << location.problem;
  }
  {
    TempFolder temp;
    fs::create_directory(temp.path() / "elsewhere");
    fs::permissions(temp.path() / "elsewhere", fs::perms(0700));
    fs::create_directory_symlink(temp.path() / "elsewhere", temp.path() / name);
    const LockLocation location = FindLockLocation(nullptr, temp.path(), uid);
    EXPECT_TRUE(location.file.empty());
    EXPECT_NE(location.problem.find("not a folder"), std::string::npos) << location.problem;
  }
  {
    TempFolder temp;
    fs::create_directory(temp.path() / name);
    fs::permissions(temp.path() / name, fs::perms(0700));
    const LockLocation location = FindLockLocation(nullptr, temp.path(), uid + 1);
    EXPECT_TRUE(location.file.empty()) << "the folder is named for another uid";
  }
  {
    TempFolder temp;
    std::ofstream(temp.path() / "plain-file") << "x";
    const LockLocation location = FindLockLocation(nullptr, temp.path() / "plain-file", uid);
    EXPECT_TRUE(location.file.empty());
    EXPECT_NE(location.problem.find("cannot create"), std::string::npos) << location.problem;
  }
}

TEST(InstanceLock, OnlyTheFirstHolderIsTheFirstInstance) {
  TempFolder temp;
  const fs::path file = temp.path() / "quillpost-smtp.lock";
  {
    InstanceLock first(file);
    EXPECT_EQ(first.state(), InstanceLock::State::kHeld);
    InstanceLock second(file);
    EXPECT_EQ(second.state(), InstanceLock::State::kOtherInstance);
    EXPECT_TRUE(second.Problem().empty());
  }
  InstanceLock afterFirstEnded(file);
  EXPECT_EQ(afterFirstEnded.state(), InstanceLock::State::kHeld);
}

TEST(InstanceLock, AKilledHolderDoesNotBlockTheNextInstance) {
  TempFolder temp;
  const fs::path file = temp.path() / "quillpost-smtp.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    const InstanceLock lock(file);
    const char state = lock.state() == InstanceLock::State::kHeld ? 'H' : 'X';
    (void)!::write(ready[1], &state, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(state, 'H');
  {
    InstanceLock whileChildLives(file);
    EXPECT_EQ(whileChildLives.state(), InstanceLock::State::kOtherInstance);
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  InstanceLock afterCrash(file);
  EXPECT_EQ(afterCrash.state(), InstanceLock::State::kHeld);
}

TEST(InstanceLock, AnUnusableLockFileLeavesTheAnswerOpen) {
  TempFolder temp;
  std::ofstream(temp.path() / "plain-file") << "x";
  const InstanceLock lock(temp.path() / "plain-file" / "quillpost-smtp.lock");
  EXPECT_EQ(lock.state(), InstanceLock::State::kUnknown);
  EXPECT_NE(lock.Problem().find("plain-file"), std::string::npos) << lock.Problem();
}

}  // namespace
}  // namespace quillpost::window
