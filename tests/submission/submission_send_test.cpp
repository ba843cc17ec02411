#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "eventlog/event_log.h"
#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "quillpost/submission.h"
#include "temp_store.h"

namespace quillpost {
namespace {

constexpr const char* kQueue = "kvr_mailer";
constexpr std::string_view kSendFailedEntry =
    "Mailer.Submision [COM]:Error submitting message to MSMQ.";

class SubmissionSend : public ::testing::Test {
 protected:
  SubmissionSend() { testing::TempStore::CreateQueue(kQueue); }

  static void Complete(Submission& mail) {
    mail.Initialise();
    mail.SetFrom("sender@example.org", "Sender");
    mail.AddRecipient("to@example.org");
    mail.SetSubject("subject");
    mail.SetBody("body");
  }

  std::vector<queue::Message> Queued() { return testing::TempStore::Drain(kQueue); }

  testing::TempStore store_;
  std::vector<std::string> entries_;
  eventlog::ScopedSink sink_{[this](std::string_view text) { entries_.emplace_back(text); }};
};

TEST_F(SubmissionSend, ChecksTheRequestInOrder) {
  Submission mail;
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoRecipients);
  mail.Initialise();
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoRecipients);
  mail.SetFrom("a@example.org", "A");
  mail.SetSubject("s");
  mail.SetBody("b");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoRecipients);

  // Recipients but no sender: the sender is named even with nothing else set.
  mail.Initialise();
  mail.AddRecipient("to@example.org");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoFrom);
  mail.SetSubject("s");
  mail.SetBody("b");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoFrom);

  mail.Initialise();
  mail.AddRecipient("to@example.org");
  mail.SetFrom("a@example.org", "A");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoSubject);  // neither: the subject is named
  mail.SetBody("b");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoSubject);

  mail.Initialise();
  mail.AddRecipient("to@example.org");
  mail.SetFrom("a@example.org", "A");
  mail.SetSubject("s");
  EXPECT_EQ(mail.Send(kQueue), kAnswerNoBody);

  // A refused request touches neither the queue nor the event log.
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(entries_.empty());
}

TEST_F(SubmissionSend, ACompleteRequestBecomesOneInboundMessage) {
  Submission mail;
  Complete(mail);
  const std::string document = mail.DocumentText();
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  const std::vector<queue::Message> messages = Queued();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].label, "Quillpost-Inbound");
  EXPECT_EQ(messages[0].priority, 7);
  EXPECT_EQ(messages[0].body, document);
  EXPECT_TRUE(entries_.empty());
  // Send leaves the request as it was.
  EXPECT_EQ(mail.DocumentText(), document);
  EXPECT_EQ(mail.RecipientCount(), 1);
}

TEST_F(SubmissionSend, EmptySubjectAndBodyCountAsSet) {
  Submission mail;
  Complete(mail);
  mail.SetSubject("");
  mail.SetBody("");
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  EXPECT_EQ(Queued().size(), 1U);
}

TEST_F(SubmissionSend, TwoSendsGiveTwoIdenticalMessages) {
  Submission mail;
  Complete(mail);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  const std::vector<queue::Message> messages = Queued();
  ASSERT_EQ(messages.size(), 2U);
  for (const queue::Message& message : messages) {
    EXPECT_EQ(message.label, "Quillpost-Inbound");
    EXPECT_EQ(message.priority, 7);
    EXPECT_EQ(message.body, messages[0].body);
  }
  // A later change goes out with the next send only.
  mail.AddRecipient("second@example.org");
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  const std::vector<queue::Message> third = Queued();
  ASSERT_EQ(third.size(), 1U);
  EXPECT_NE(third[0].body.find("second@example.org"), std::string::npos);
}

TEST_F(SubmissionSend, FailuresAgainstTheQueueAnswerInternalErrorAndLogOnce) {
  Submission mail;
  Complete(mail);
  EXPECT_EQ(mail.Send("no_such_queue"), kAnswerInternalError);
  ASSERT_EQ(entries_.size(), 1U);
  EXPECT_EQ(entries_[0], kSendFailedEntry);
  // The cause, for the person who has to fix it: which queue, in which store.
  EXPECT_EQ(mail.LastSendFailure(),
            "there is no queue 'no_such_queue' in store " + store_.Folder().string());

  // A queue name with no text form fails the same way.
  const char* const none = nullptr;
  EXPECT_EQ(mail.Send(none), kAnswerInternalError);
  EXPECT_EQ(entries_.size(), 2U);

  // A request too large for the queue.
  mail.SetBody(std::string(queue::kMaxBodyBytes + 1, 'x'));
  EXPECT_EQ(mail.Send(kQueue), kAnswerInternalError);
  EXPECT_EQ(entries_.size(), 3U);
  EXPECT_NE(mail.LastSendFailure().find("at most 4194304"), std::string::npos);
  EXPECT_TRUE(Queued().empty());

  // A store whose write turn another process holds (a frozen relay): busy.
  mail.SetBody("body");
  const std::chrono::milliseconds previous = queue::LockTimeout();
  queue::SetLockTimeout(std::chrono::milliseconds(100));
  const int turn = ::open((store_.Folder() / "write.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(turn, LOCK_EX), 0);
  EXPECT_EQ(mail.Send(kQueue), kAnswerInternalError);
  EXPECT_NE(mail.LastSendFailure().find("locked by another process"), std::string::npos)
      << mail.LastSendFailure();
  ::close(turn);
  queue::SetLockTimeout(previous);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  EXPECT_EQ(mail.LastSendFailure(), "");
}

TEST_F(SubmissionSend, AStoreReplacedBetweenSendsIsOpenedAnew) {
  Submission mail;
  Complete(mail);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  // The folder removed and laid out again, as a restore from a backup does.
  std::filesystem::remove_all(store_.Folder());
  testing::TempStore::CreateQueue(kQueue);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  EXPECT_EQ(Queued().size(), 1U);
  // The queue deleted and created again: it has a new number.
  queue::QueuePath(kQueue).Delete();
  testing::TempStore::CreateQueue(kQueue);
  EXPECT_EQ(mail.Send(kQueue), kAnswerOk);
  EXPECT_EQ(Queued().size(), 1U);
  // No store at all: the cause names it.
  std::filesystem::remove_all(store_.Folder());
  EXPECT_EQ(mail.Send(kQueue), kAnswerInternalError);
  EXPECT_NE(mail.LastSendFailure().find("there is no store there"), std::string::npos);
  EXPECT_EQ(entries_.size(), 1U);
}

TEST_F(SubmissionSend, AFailureOfOneQueueInACommitFailsOnlyItsOwnSends) {
  // The second queue's bell cannot be opened for writing.
  testing::TempStore::CreateQueue("broken_bell");
  std::filesystem::remove(store_.Folder() / "bells" / "2");
  std::filesystem::create_directory(store_.Folder() / "bells" / "2");
  Submission first;
  Complete(first);
  ASSERT_EQ(first.Send(kQueue), kAnswerOk);  // the store is open from now on
  // While another process holds the write turn, the next sends gather into
  // one commit behind the first.
  const int turn = ::open((store_.Folder() / "write.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(turn, LOCK_EX), 0);
  std::vector<std::string_view> answers(3);
  std::vector<std::thread> senders;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    senders.emplace_back([&, i] {
      Submission mail;
      Complete(mail);
      std::this_thread::sleep_for(std::chrono::milliseconds(i == 0 ? 0 : 100));
      answers[i] = mail.Send(i == 1 ? "broken_bell" : kQueue);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ::close(turn);
  for (std::thread& sender : senders) {
    sender.join();
  }
  EXPECT_EQ(answers, (std::vector<std::string_view>{kAnswerOk, kAnswerInternalError, kAnswerOk}));
  EXPECT_EQ(Queued().size(), 3U);
}

TEST_F(SubmissionSend, SendAfterFinaliseSendsNothing) {
  Submission mail;
  Complete(mail);
  mail.Finalise();
  // The finished request's checks still pass, but there is no request left.
  EXPECT_EQ(mail.Send(kQueue), kAnswerInternalError);
  EXPECT_EQ(entries_, std::vector<std::string>{std::string(kSendFailedEntry)});
  EXPECT_TRUE(Queued().empty());
}

TEST_F(SubmissionSend, ObjectsShareNothing) {
  Submission first;
  Submission second;
  Complete(first);
  second.Initialise();
  EXPECT_EQ(second.Send(kQueue), kAnswerNoRecipients);
  first.Finalise();
  Complete(second);
  EXPECT_EQ(second.Send(kQueue), kAnswerOk);
  EXPECT_EQ(Queued().size(), 1U);
}

}  // namespace
}  // namespace quillpost
