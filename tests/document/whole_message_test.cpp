#include "document/whole_message.h"

#include <gtest/gtest.h>

#include "document/request_reader.h"
#include "document/request_writer.h"

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

}  // namespace
}  // namespace quillpost::document
