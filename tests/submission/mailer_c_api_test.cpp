// The C interface, called through libmailer.so itself.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "quillpost/mailer.h"
#include "temp_store.h"
#include "worked_example.h"

namespace {

constexpr const char* kInternalError = "ERR - Internal error sending message to MSMQ";

struct HandleDeleter {
  void operator()(mailer_submission* handle) const { mailer_submission_free(handle); }
};
using Handle = std::unique_ptr<mailer_submission, HandleDeleter>;

Handle NewHandle() {
  Handle handle(mailer_submission_new());
  if (!handle) {
    throw std::runtime_error("mailer_submission_new failed");
  }
  return handle;
}

std::string DocumentOf(mailer_submission* handle) {
  char* text = mailer_document_text(handle);
  if (text == nullptr) {
    return "(none: " + std::string(mailer_last_error(handle)) + ")";
  }
  std::string copy(text);
  mailer_string_free(text);
  return copy;
}

TEST(MailerCApi, BuildsAndSendsTheExampleRequest) {
  quillpost::testing::TempStore store;
  quillpost::testing::TempStore::CreateQueue(MAILER_INBOUND_QUEUE);
  const Handle mail = NewHandle();
  ASSERT_EQ(mailer_initialise(mail.get()), MAILER_OK);
  ASSERT_EQ(mailer_set_from(mail.get(), "sender-address", "Sender Name"), MAILER_OK);
  ASSERT_EQ(mailer_add_recipient(mail.get(), "first-recipient"), MAILER_OK);
  ASSERT_EQ(mailer_add_recipient(mail.get(), "second-recipient"), MAILER_OK);
  ASSERT_EQ(mailer_set_subject(mail.get(), "Monthly figures & notes"), MAILER_OK);
  ASSERT_EQ(mailer_set_body(mail.get(), "See the attached figures."), MAILER_OK);
  ASSERT_EQ(mailer_add_attachment(mail.get(), "C:\\out\\figures.xls"), MAILER_OK);
  EXPECT_EQ(DocumentOf(mail.get()), quillpost::testing::kExampleDocument);
  EXPECT_STREQ(mailer_last_error(mail.get()), "");

  EXPECT_STREQ(mailer_send(mail.get(), MAILER_INBOUND_QUEUE), MAILER_ANSWER_OK);
  const auto messages = quillpost::testing::TempStore::Drain(MAILER_INBOUND_QUEUE);
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].label, "Quillpost-Inbound");
  EXPECT_EQ(messages[0].priority, 7);
  EXPECT_EQ(messages[0].body, quillpost::testing::kExampleDocument);

  EXPECT_STREQ(mailer_send(mail.get(), "no_such_queue"), kInternalError);
  EXPECT_STREQ(mailer_version(), "1.0.0");
}

TEST(MailerCApi, NullHandleIsRefusedEverywhere) {
  EXPECT_EQ(mailer_initialise(nullptr), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_finalise(nullptr), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_set_from(nullptr, "a", "b"), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_add_recipient(nullptr, "a"), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_set_body(nullptr, "a"), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_set_subject(nullptr, "a"), MAILER_ERROR_NO_HANDLE);
  EXPECT_EQ(mailer_add_attachment(nullptr, "a"), MAILER_ERROR_NO_HANDLE);
  EXPECT_STREQ(mailer_send(nullptr, MAILER_INBOUND_QUEUE), kInternalError);
  EXPECT_EQ(mailer_document_text(nullptr), nullptr);
  ASSERT_NE(mailer_last_error(nullptr), nullptr);
  EXPECT_STRNE(mailer_last_error(nullptr), "");
  mailer_submission_free(nullptr);
  mailer_string_free(nullptr);
}

TEST(MailerCApi, NullStringsHaveNoTextForm) {
  const Handle mail = NewHandle();
  ASSERT_EQ(mailer_initialise(mail.get()), MAILER_OK);
  const std::string empty = DocumentOf(mail.get());
  EXPECT_EQ(mailer_add_recipient(mail.get(), nullptr), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_NE(std::string(mailer_last_error(mail.get())).find("recipient"), std::string::npos);
  EXPECT_EQ(mailer_set_from(mail.get(), "a@example.org", nullptr), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_EQ(mailer_set_from(mail.get(), nullptr, "A"), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_EQ(mailer_set_subject(mail.get(), nullptr), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_EQ(mailer_set_body(mail.get(), nullptr), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_EQ(mailer_add_attachment(mail.get(), nullptr), MAILER_ERROR_NO_TEXT_FORM);
  EXPECT_EQ(DocumentOf(mail.get()), empty);

  ASSERT_EQ(mailer_add_recipient(mail.get(), "to@example.org"), MAILER_OK);
  ASSERT_EQ(mailer_set_from(mail.get(), "a@example.org", "A"), MAILER_OK);
  ASSERT_EQ(mailer_set_subject(mail.get(), "s"), MAILER_OK);
  ASSERT_EQ(mailer_set_body(mail.get(), "b"), MAILER_OK);
  EXPECT_STREQ(mailer_send(mail.get(), nullptr), kInternalError);
}

TEST(MailerCApi, FailuresCarryACodeAndAMessage) {
  const Handle mail = NewHandle();
  EXPECT_EQ(mailer_add_recipient(mail.get(), "a"), MAILER_ERROR_NO_REQUEST);
  EXPECT_STRNE(mailer_last_error(mail.get()), "");
  EXPECT_EQ(mailer_document_text(mail.get()), nullptr);
  EXPECT_STREQ(mailer_send(mail.get(), MAILER_INBOUND_QUEUE), "ERR - No recipients specified.");

  ASSERT_EQ(mailer_initialise(mail.get()), MAILER_OK);
  EXPECT_STREQ(mailer_last_error(mail.get()), "");  // a success clears the message
  EXPECT_EQ(mailer_set_subject(mail.get(), "\x01"), MAILER_ERROR_INVALID_VALUE);
  EXPECT_STRNE(mailer_last_error(mail.get()), "");
  ASSERT_EQ(mailer_add_recipient(mail.get(), "to@example.org"), MAILER_OK);
  EXPECT_STREQ(mailer_send(mail.get(), MAILER_INBOUND_QUEUE),
               "ERR - No from name or address specified.");
  ASSERT_EQ(mailer_set_from(mail.get(), "a@example.org", "A"), MAILER_OK);
  EXPECT_STREQ(mailer_send(mail.get(), MAILER_INBOUND_QUEUE), "ERR - No subject set for message.");
  ASSERT_EQ(mailer_set_subject(mail.get(), "s"), MAILER_OK);
  EXPECT_STREQ(mailer_send(mail.get(), MAILER_INBOUND_QUEUE), "ERR - No message set!");

  ASSERT_EQ(mailer_finalise(mail.get()), MAILER_OK);
  EXPECT_EQ(mailer_set_body(mail.get(), "b"), MAILER_ERROR_NO_REQUEST);
}

TEST(MailerCApi, WholeMessageIsTakenByItsLength) {
  const Handle mail = NewHandle();
  ASSERT_EQ(mailer_initialise(mail.get()), MAILER_OK);
  EXPECT_EQ(mailer_set_message(mail.get(), nullptr, 0), MAILER_ERROR_NO_TEXT_FORM);
  const char text[] = "Subject: cut here|not this";
  ASSERT_EQ(mailer_set_message(mail.get(), text, std::strlen("Subject: cut here")), MAILER_OK);
  char* document = mailer_document_text(mail.get());
  ASSERT_NE(document, nullptr);
  EXPECT_NE(std::strstr(document, "<SUBJECT>cut here</SUBJECT>"), nullptr) << document;
  mailer_string_free(document);
  ASSERT_EQ(mailer_set_max_message_size(mail.get(), 1024), MAILER_OK);
  const std::string large =
      "Subject: large\n\n" + std::string(600, 'x') + "\n" + std::string(600, 'y');
  EXPECT_EQ(mailer_set_message(mail.get(), large.data(), large.size()), MAILER_ERROR_TOO_LARGE);
}

TEST(MailerCApi, TooManyRecipientsIsReported) {
  const Handle mail = NewHandle();
  ASSERT_EQ(mailer_initialise(mail.get()), MAILER_OK);
  for (int i = 0; i < 32767; ++i) {
    ASSERT_EQ(mailer_add_recipient(mail.get(), "r"), MAILER_OK);
  }
  EXPECT_EQ(mailer_add_recipient(mail.get(), "r"), MAILER_ERROR_TOO_MANY_RECIPIENTS);
}

}  // namespace
