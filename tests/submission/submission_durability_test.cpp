// A request answered "OK" is in the store, whatever happens to the sending
// process right after: senders in a forked child report each answer through a
// pipe until the child is killed; every reported request must be found.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "queue/queue.h"
#include "quillpost/submission.h"
#include "temp_store.h"

namespace quillpost {
namespace {

constexpr const char* kQueue = "kvr_mailer";

std::string Marker(int thread, int request) {
  return "[" + std::to_string(thread) + "-" + std::to_string(request) + "]";
}

// In the child: threads send numbered requests and write the marker of each
// one answered "OK" to out, until the child is killed.
[[noreturn]] void SendForEver(int threads, int out) {
  std::vector<std::thread> senders;
  senders.reserve(static_cast<std::size_t>(threads));
  for (int thread = 0; thread < threads; ++thread) {
    senders.emplace_back([thread, out] {
      Submission mail;
      for (int request = 0; request < 100000; ++request) {
        mail.Initialise();
        mail.SetFrom("sender@example.org", "Sender");
        mail.AddRecipient("to@example.org");
        mail.SetSubject("subject");
        mail.SetBody("request " + Marker(thread, request));
        if (mail.Send(kQueue) != kAnswerOk) {
          break;
        }
        // One write of less than PIPE_BUF bytes is never split.
        const std::string line = Marker(thread, request) + "\n";
        if (::write(out, line.data(), line.size()) < 0) {
          break;
        }
      }
    });
  }
  for (std::thread& sender : senders) {
    sender.join();
  }
  ::_exit(0);
}

class SendDurability : public ::testing::Test {
 protected:
  SendDurability() { testing::TempStore::CreateQueue(kQueue); }

  // Kills the sending child once it reported answers requests; returns every
  // marker it reported.
  static std::vector<std::string> AnsweredBeforeKill(int threads, int answers) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(fds[0]);
      SendForEver(threads, fds[1]);
    }
    ::close(fds[1]);
    std::vector<std::string> reported;
    std::string pending;
    char buffer[4096];
    bool killed = false;
    for (;;) {
      const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
      if (got <= 0) {
        break;  // the child is gone and every answer it wrote has been read
      }
      pending.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        reported.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
      if (!killed && static_cast<int>(reported.size()) >= answers) {
        ::kill(child, SIGKILL);
        killed = true;
      }
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(killed && WIFSIGNALED(status)) << "the child ended before it was killed";
    return reported;
  }

  static void FillRequest(Submission& mail, const std::string& body) {
    mail.Initialise();
    mail.SetFrom("sender@example.org", "Sender");
    mail.AddRecipient("to@example.org");
    mail.SetSubject("subject");
    mail.SetBody(body);
  }

  static void ExpectAllStored(const std::vector<std::string>& reported) {
    std::string stored;
    for (const queue::Message& message : testing::TempStore::Drain(kQueue)) {
      stored += message.body;
    }
    for (const std::string& marker : reported) {
      EXPECT_NE(stored.find(marker), std::string::npos) << marker << " answered OK but is lost";
    }
  }

  testing::TempStore store_;
};

TEST_F(SendDurability, EveryRequestAnsweredOkSurvivesTheSenderBeingKilled) {
  // The parent has the store open when it forks: the child must open its own.
  Submission mail;
  FillRequest(mail, "request [parent]");
  ASSERT_EQ(mail.Send(kQueue), kAnswerOk);

  std::vector<std::string> reported = AnsweredBeforeKill(1, 20);
  const std::vector<std::string> fromThreads = AnsweredBeforeKill(8, 80);
  reported.insert(reported.end(), fromThreads.begin(), fromThreads.end());
  reported.push_back("[parent]");
  ExpectAllStored(reported);

  // The parent's own sender was left working by the children.
  mail.SetBody("request [parent again]");
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  ExpectAllStored({"[parent again]"});
}

// A child must not inherit the parent's open store: SQLite's record of the
// locks it holds is per process, and would be wrong in the child.
TEST_F(SendDurability, NoStoreFileIsOpenInAForkedChild) {
  Submission mail;
  FillRequest(mail, "body");
  ASSERT_EQ(mail.Send(kQueue), kAnswerOk);
  const pid_t child = ::fork();
  if (child == 0) {
    int open = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const std::string target = std::filesystem::read_symlink(fd, error).string();
      open += target.rfind(store_.Folder().string(), 0) == 0 ? 1 : 0;
    }
    ::_exit(open);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << WEXITSTATUS(status) << " files of the store were open in the child";
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
}

}  // namespace
}  // namespace quillpost
