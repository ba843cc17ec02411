// The real quillpost-smtpd between SMTP clients (Python's smtplib) and the
// store, and the real relay sending on to the SMTP test peer.

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <fstream>

#include "end_to_end_support.h"
#include "posix/unique_fd.h"
#include "run_program.h"

namespace quillpost::relay::testing {
namespace {

using quillpost::testing::ProgramResult;

class SmtpdTest : public EndToEndTest {
 protected:
  // Starts the listener on a free loopback port and waits until it listens.
  // Each start writes files of its own: the output is appended to.
  void StartListener(std::vector<std::string> arguments = {}) {
    port = FreePort();
    ++starts;
    arguments.insert(arguments.begin(),
                     {QUILLPOST_SMTPD_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(port),
                      "--mail-log", "stderr", "--server-name", "mx.test"});
    listener = std::make_unique<ChildProcess>(
        arguments,
        std::vector<std::pair<std::string, std::string>>{{"QUILLPOST_STORE", store.string()}},
        OutputFile(), ErrorFile());
    ASSERT_TRUE(WaitFor([&] {
      return ReadFile(OutputFile()).find("listening on") != std::string::npos;
    })) << ReadFile(ErrorFile());
  }

  // Connects to the listener; the first line it says lands in line.
  posix::UniqueFd Connect(std::string& line) const {
    posix::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    line.clear();
    pollfd entry{socket.Get(), POLLIN, 0};
    char c = 0;
    while (!line.ends_with("\r\n") && ::poll(&entry, 1, 10'000) == 1 &&
           ::recv(socket.Get(), &c, 1, 0) == 1) {
      line += c;
    }
    return socket;
  }

  std::filesystem::path OutputFile() const {
    return scratch.Path() / ("smtpd" + std::to_string(starts) + ".out");
  }
  std::filesystem::path ErrorFile() const {
    return scratch.Path() / ("smtpd" + std::to_string(starts) + ".err");
  }

  // Runs smtp_client.py MODE PORT ARGUMENTS...
  ProgramResult Client(const std::string& mode, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {QUILLPOST_SMTPD_CLIENT, mode, std::to_string(port)});
    return quillpost::testing::RunProgram("/usr/bin/python3", arguments, scratch.Path());
  }

  int port = 0;
  int starts = 0;
  std::unique_ptr<ChildProcess> listener;
};

TEST_F(SmtpdTest, PipelinedSmtplibSessionReachesTheRelayHostByteForByteBehindItsReceivedField) {
  peer::SmtpPeer smtp;
  const auto relay = StartRelay(smtp.Port());
  StartListener();
  std::string message =
      "Date: Tue, 8 Dec 2026 06:00:00 +0000\r\n"
      "Message-ID: <one@client.example>\r\n"
      "From: Ann <ann@example.org>\r\n"
      "To: bob@example.org, cy@example.net\r\n"
      "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=UTF-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "Gr\xc3\xbc\xc3\x9f"
      "e aus K\xc3\xb6ln.\r\n"
      ".\r\n"
      "..two dots\r\n"
      ".leading dot\r\n";
  // As large as the default size limit allows, Received field included.
  for (int line = 0; message.size() < 26'214'400 - 500; ++line) {
    message += (line % 100 == 0 ? "." : "") + std::to_string(line) + std::string(70, 'x') + "\r\n";
  }
  std::ofstream(scratch.Path() / "message.eml", std::ios::binary) << message;
  const ProgramResult session = Client("pipelined", {(scratch.Path() / "message.eml").string()});
  ASSERT_EQ(session.exitStatus, 0) << session.out << session.err;
  EXPECT_NE(session.out.find("features 8bitmime enhancedstatuscodes pipelining size\n"),
            std::string::npos)
      << session.out;
  EXPECT_NE(session.out.find("size 26214400\n"), std::string::npos) << session.out;
  const std::size_t queued = session.out.find("250 2.0.0 Ok: queued as ");
  ASSERT_NE(queued, std::string::npos) << session.out;
  const std::string id = session.out.substr(queued + 24, 16);

  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= 2; }, std::chrono::seconds(60)))
      << relay->ErrorOutput();
  // The relay sends the two over sessions of their own, in either order.
  const auto delivered = smtp.Messages();
  const bool firstIsSecond = delivered[0].Header("Subject") == std::vector<std::string>{"second"};
  const peer::DeliveredMessage mail = delivered[firstIsSecond ? 1 : 0];
  EXPECT_EQ(mail.envelopeFrom, "ann@example.org");
  EXPECT_EQ(mail.envelopeTo,
            (std::vector<std::string>{"bob@example.org", "cy@example.net", "dee@example.com"}));
  EXPECT_TRUE(
      mail.raw.starts_with("Received: from client.example ([127.0.0.1])\r\n\tby mx.test "
                           "(quillpost-smtpd) with ESMTP id " +
                           id + ";\r\n\t"))
      << mail.raw;
  const std::size_t afterTrace = mail.raw.find("\r\n", mail.raw.find(";\r\n\t") + 4) + 2;
  EXPECT_TRUE(mail.raw.substr(afterTrace) == message) << mail.raw.size() << " octets received";
  EXPECT_EQ(delivered[firstIsSecond ? 0 : 1].Header("Subject"), std::vector<std::string>{"second"});
  EXPECT_NE(ReadFile(ErrorFile())
                .find("quillpost-smtpd: from=<ann@example.org>, to=<bob@example.org>, "
                      "to=<cy@example.net>, to=<dee@example.com>, size=" +
                      std::to_string(message.size()) + ", id=" + id + ", client=[127.0.0.1]\n"),
            std::string::npos)
      << ReadFile(ErrorFile());
}

TEST_F(SmtpdTest, TwoHundredFiftyComesOnlyWithTheRequestOnTheDisk) {
  StartListener();
  // No queue to put it on: a temporary failure, and the client keeps the mail.
  ProgramResult sent = Client("send");
  EXPECT_TRUE(sent.out.starts_with("451 4.3.0 ")) << sent.out << sent.err;

  ASSERT_TRUE(queue::CreateQueue("kvr_mailer"));
  sent = Client("send", {std::to_string(listener->Pid())});
  EXPECT_TRUE(sent.out.starts_with("250 2.0.0 Ok: queued as ")) << sent.out << sent.err;
  EXPECT_TRUE(WaitFor([&] { return !listener->Running(); }));
  const auto waiting = queue::PeekQueue("kvr_mailer", true);
  ASSERT_EQ(waiting.size(), 1U);
  EXPECT_NE(waiting[0].body.find("<TO>bob@example.org</TO>"), std::string::npos);
  EXPECT_NE(waiting[0].body.find("<WHOLE-MESSAGE>"), std::string::npos);
}

TEST_F(SmtpdTest, ConnectionsPastTheLimitAreTurnedAwayWith421) {
  StartListener({"--max-connections-per-client", "1"});
  std::string line;
  posix::UniqueFd first = Connect(line);
  EXPECT_TRUE(line.starts_with("220 mx.test ESMTP")) << line;
  Connect(line);
  EXPECT_EQ(line, "421 4.7.0 Too many connections from your address; try again later\r\n");
  first.Reset();
  // The first one's place is free once its session has seen it go.
  EXPECT_TRUE(WaitFor([&] {
    Connect(line);
    return line.starts_with("220 ");
  })) << line;
}

TEST_F(SmtpdTest, FullStoreAnswers452AndNothingIsQueued) {
  // A store on a small file system of its own, filled up: needs a mount
  // namespace (root, as CI runs).
  const std::filesystem::path small = scratch.Path() / "small";
  std::filesystem::create_directories(small);
  if (quillpost::testing::RunProgram(
          "/usr/bin/unshare",
          {"-m", "/bin/sh", "-c", "mount -t tmpfs -o size=1m tmpfs '" + small.string() + "'"},
          scratch.Path())
          .exitStatus != 0) {
    GTEST_SKIP() << "no mount namespace with a tmpfs of its own here";
  }
  port = FreePort();
  const std::string script =
      "mount -t tmpfs -o size=1m tmpfs '" + small.string() + "' && QUILLPOST_STORE='" +
      small.string() + "/store' && export QUILLPOST_STORE && '" + QUILLPOST_QUEUE_PROGRAM +
      "' create kvr_mailer >/dev/null && head -c 900000 /dev/zero > '" + small.string() +
      "/filler' && exec '" + QUILLPOST_SMTPD_PROGRAM +
      "' --listen 127.0.0.1:" + std::to_string(port) + " --max-message-size 3000000";
  listener = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/unshare", "-m", "/bin/sh", "-c", script},
      std::vector<std::pair<std::string, std::string>>{}, OutputFile(), ErrorFile());
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(OutputFile()).find("listening on") != std::string::npos;
  })) << ReadFile(ErrorFile());
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 300'000) {
    big += std::string(76, 'x') + "\r\n";
  }
  std::ofstream(scratch.Path() / "big.eml", std::ios::binary) << big;
  const ProgramResult sent = Client("pipelined", {(scratch.Path() / "big.eml").string()});
  EXPECT_NE(sent.out.find("\n452 4.3.1 Insufficient system storage"), std::string::npos)
      << sent.out << sent.err << ReadFile(ErrorFile());
  EXPECT_EQ(sent.out.find("queued as"), std::string::npos) << sent.out;
}

TEST_F(SmtpdTest, OnlyAllowedOrAuthenticatedClientsSubmit) {
  // A non-loopback client, as the listener sees 127.0.0.1 when the allow-list
  // leaves it out.
  StartListener({"--allow-networks", "10.0.0.0/8"});
  const ProgramResult refused = Client("send");
  EXPECT_TRUE(refused.out.starts_with("550 5.7.1 Submission from [127.0.0.1] is not permitted"))
      << refused.out << refused.err;
  listener.reset();

  // Listening beyond loopback needs an allow-list or STARTTLS with AUTH.
  std::string output;
  EXPECT_EQ(
      RunProgram({QUILLPOST_SMTPD_PROGRAM, "--listen", "0.0.0.0:" + std::to_string(FreePort())},
                 &output),
      2);
  EXPECT_NE(output.find("not a loopback address, needs allow_networks"), std::string::npos)
      << output;

  // STARTTLS, then AUTH LOGIN against a yescrypt hash; the user may send as
  // itself only.
  const std::filesystem::path folder = scratch.Path();
  ASSERT_EQ(RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                        (folder / "key.pem").string(), "-out", (folder / "cert.pem").string()},
                       &output),
            0)
      << output;
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  ASSERT_NE(::crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt), nullptr);
  crypt_data data{};
  std::ofstream(folder / "passwords")
      << "# users\napp@example.org:" << ::crypt_r("open sesame", salt, &data) << "\n";
  const int metricsPort = FreePort();
  ASSERT_TRUE(queue::CreateQueue("kvr_mailer"));
  StartListener({"--allow-networks", "10.0.0.0/8", "--tls-certificate",
                 (folder / "cert.pem").string(), "--tls-key", (folder / "key.pem").string(),
                 "--password-file", (folder / "passwords").string(), "--restrict-senders", "yes",
                 "--metrics-listen", "127.0.0.1:" + std::to_string(metricsPort)});
  const ProgramResult wrong =
      Client("tls", {(folder / "cert.pem").string(), "app@example.org", "guess"});
  EXPECT_NE(wrong.err.find("535"), std::string::npos) << wrong.out << wrong.err;
  const ProgramResult signedIn =
      Client("tls", {(folder / "cert.pem").string(), "app@example.org", "open sesame"});
  EXPECT_EQ(signedIn.out, "250 sent\n") << signedIn.err << ReadFile(ErrorFile());
  const auto waiting = queue::PeekQueue("kvr_mailer", true);
  ASSERT_EQ(waiting.size(), 1U);
  EXPECT_NE(waiting[0].body.find("<FROM>app@example.org</FROM>"), std::string::npos);

  const std::string url = "http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics";
  EXPECT_EQ(
      RunProgram({"/bin/sh", "-c", "curl -sS '" + url + "' | promtool check metrics"}, &output), 0)
      << output;
  EXPECT_EQ(RunProgram({"/usr/bin/curl", "-sS", "--max-time", "10", url}, &output), 0);
  EXPECT_NE(output.find("quillpost_smtpd_messages_queued_total 1\n"), std::string::npos) << output;
  // The wrong password is counted (smtplib tries it with every mechanism offered).
  EXPECT_EQ(output.find("quillpost_smtpd_refusals_total{reason=\"not_permitted\"} 0\n"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace quillpost::relay::testing
