#include "document/whole_message.h"

#include <gtest/gtest.h>

#include "document/request_reader.h"
#include "document/request_rewrite.h"
#include "document/request_writer.h"
#include "document/streamed_request.h"
#include "document/whole_message_source.h"
#include "message/sendable_message.h"
#include "message/sendable_stream.h"

namespace quillpost::document {
namespace {

TEST(WholeMessage, TravelsAfterTheSectionsAndReadsBackByteForByte) {
  using namespace std::string_literals;
  const std::string message = "Subject: x\r\n\r\n\x01\x02\xff tail\r\n"s;
  RequestWriter writer;
  writer.AppendAfterSections(kWholeMessageTag, EncodeWholeMessage(message));
  writer.Append(RequestWriter::Section::Attachments, kFileTag, "/a");
  const std::string text = writer.Serialize();
  EXPECT_EQ(text.find("<Attachments><FILE>/a</FILE></Attachments><WHOLE-MESSAGE>"),
            std::string("<Quillpost-1.0><Routing/><Message/>").size());
  EXPECT_EQ(ReadWholeMessage(RequestReader(text)), message);

  EXPECT_EQ(ReadWholeMessage(RequestReader("<Quillpost-1.0><Routing/></Quillpost-1.0>")),
            std::nullopt);
  EXPECT_THROW(
      ReadWholeMessage(RequestReader("<r><WHOLE-MESSAGE>U3V*amVjdA==</WHOLE-MESSAGE></r>")),
      DocumentError);
}

// A writer may put a request straight on the queue: what the library would
// have changed or refused, the reader changes or refuses too.
TEST(WholeMessage, ReadsAsTheLibraryWouldHaveTakenIt) {
  using namespace std::string_literals;
  const auto request = [](const std::string& message) {
    return RequestReader("<r><WHOLE-MESSAGE>" + EncodeWholeMessage(message) +
                         "</WHOLE-MESSAGE></r>");
  };
  EXPECT_EQ(ReadWholeMessage(request("To: a@x.org\rBcc: b@x.org\n\nbody\r.\rMAIL FROM:<x@y>")),
            "To: a@x.org\r\n\r\nbody\r\n.\r\nMAIL FROM:<x@y>\r\n");
  for (const std::string& refused : {""s, "\r\n"s, "Subject: x\r\n\r\n\0\r\n"s}) {
    EXPECT_THROW(ReadWholeMessage(request(refused)), DocumentError) << refused;
  }
}

ReadAt ReaderOf(const std::string& stored) {
  return [&stored](std::size_t offset, char* out, std::size_t length) {
    const std::size_t count = std::min(length, stored.size() - offset);
    stored.copy(out, count, offset);
    return count;
  };
}

std::string ReadAll(message::ByteSource& source) {
  std::string all;
  std::string block(1000, '\0');  // not a divisor of the sources' blocks
  while (const std::size_t got = source.Read(block.data(), block.size())) {
    all.append(block, 0, got);
  }
  return all;
}

// A request too large to hold is read with its whole message left where it
// is stored: decoded and made sendable a block at a time, it is what the
// message read whole gives, and a request written anew around it keeps it.
TEST(WholeMessage, StreamedFromWhereItIsStoredReadsAsHeldWholeAndSurvivesARewrite) {
  using namespace std::string_literals;
  std::string message = "To: a@x.org\nBcc: b@x.org,\n c@x.org\nSubject: s\n\n"s;
  // Line ends that meet the readers' block ends: CR LF split in two, a lone CR.
  const auto lineEndAt = [&message](std::size_t end, const std::string& rest) {
    while (message.size() + 902 < end) {
      message += std::string(900, 'a') + "\n";
    }
    message += std::string(end - message.size(), 'b') + rest;
  };
  lineEndAt(65535, "\r\nb");
  lineEndAt(2 * 65536 - 1, "\rd\xff\x01");
  while (message.size() < 300'000) {
    message += "\n." + std::string(message.size() % 997, 'e');
  }
  RequestWriter writer;
  writer.Append(RequestWriter::Section::Routing, kFromTag, "ann@example.org");
  writer.AppendAfterSections(kWholeMessageTag, EncodeWholeMessage(message));
  const std::string stored =
      RewriteRequest(RequestReader(writer.Serialize()), RequestChanges{{}, 1, false});

  const StreamedRequest streamed = ReadStreamedRequest(stored.size(), ReaderOf(stored));
  EXPECT_EQ(streamed.reader.First(kFromTag), "ann@example.org");
  EXPECT_EQ(streamed.reader.RelayTries(), 1);
  ASSERT_TRUE(streamed.wholeMessage);
  message::SendableStream sendable(
      std::make_unique<WholeMessageSource>(ReaderOf(stored), *streamed.wholeMessage));
  const std::string expected = message::SendableMessage(message);
  EXPECT_EQ(ReadAll(sendable), expected);
  EXPECT_EQ(sendable.Size(), expected.size());
  sendable.Rewind();
  EXPECT_EQ(ReadAll(sendable), expected);

  std::string rewritten = RewriteRequest(streamed.reader, RequestChanges{{}, 2, false});
  const std::optional<std::size_t> slot = WholeMessageSlot(rewritten);
  ASSERT_TRUE(slot);
  rewritten.insert(*slot, stored, streamed.wholeMessage->offset, streamed.wholeMessage->length);
  const RequestReader again(rewritten);
  EXPECT_EQ(ReadWholeMessage(again), expected);
  EXPECT_EQ(again.RelayTries(), 2);
}

TEST(WholeMessage, StreamedRequestRefusesWhatOnlyLooksLikeItsWholeMessage) {
  const auto read = [](const std::string& stored) {
    message::SendableStream(std::make_unique<WholeMessageSource>(
        ReaderOf(stored), *ReadStreamedRequest(stored.size(), ReaderOf(stored)).wholeMessage));
  };
  EXPECT_THROW(read("<!--<WHOLE-MESSAGE>QQ==</WHOLE-MESSAGE>--><r><WHOLE-MESSAGE/></r>"),
               DocumentError);
  EXPECT_THROW(read("<r><WHOLE-MESSAGE>Q&#81;==</WHOLE-MESSAGE></r>"), DocumentError);
  EXPECT_THROW(read("<r><WHOLE-MESSAGE>QU<FILE/>JDCg==</WHOLE-MESSAGE></r>"), DocumentError);
  EXPECT_THROW(read("<r><FROM>a<WHOLE-MESSAGE>QQ==</WHOLE-MESSAGE></FROM></r>"), DocumentError);
  EXPECT_THROW(read("<TO>a<WHOLE-MESSAGE>QQ==</WHOLE-MESSAGE></TO>"), DocumentError);
  EXPECT_THROW(read("<r><WHOLE-MESSAGE>QQ=A</WHOLE-MESSAGE></r>"), message::UnsendableMessage);
  EXPECT_NO_THROW(read("<r><WHOLE-MESSAGE>QUJDCg==</WHOLE-MESSAGE></r>"));
}

}  // namespace
}  // namespace quillpost::document
