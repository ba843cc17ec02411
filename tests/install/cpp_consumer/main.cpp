// A C++ program that uses the installed submission library: it sends one
// request to the queue named on its command line and prints the answer.

#include <quillpost/submission.h>

#include <iostream>

int main(int argc, char** argv) {
  const char* queue = argc > 1 ? argv[1] : quillpost::kInboundQueueName.data();
  quillpost::Submission mail;
  try {
    mail.Initialise();
    mail.SetFrom("cpp@example.org", "C++ Consumer");
    mail.AddRecipient("ops@example.org");
    mail.AddRecipient(42);
    mail.SetSubject("from C++");
    mail.SetBody("sent by the C++ consumer");
  } catch (const quillpost::SubmissionError& error) {
    std::cerr << "cpp_consumer: " << error.what() << '\n';
    return 2;
  }
  // The library's error type crosses into the application and is caught here.
  try {
    mail.AddAttachment(static_cast<const char*>(nullptr));
    std::cerr << "cpp_consumer: a null attachment was accepted\n";
    return 2;
  } catch (const quillpost::SubmissionError& error) {
    if (error.ErrorCode() != quillpost::SubmissionError::Code::NoTextForm) {
      std::cerr << "cpp_consumer: unexpected error: " << error.what() << '\n';
      return 2;
    }
  }
  const std::string_view answer = mail.Send(queue);
  std::cout << answer << '\n';
  return answer == quillpost::kAnswerOk ? 0 : 1;
}
