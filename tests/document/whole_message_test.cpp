#include "document/whole_message.h"

#include <gtest/gtest.h>

#include "document/request_reader.h"
#include "document/request_writer.h"

namespace quillpost::document {
namespace {

TEST(WholeMessage, TravelsAfterTheSectionsAndReadsBackByteForByte) {
  using namespace std::string_literals;
  const std::string message = "Subject: x\r\n\r\n\0\x01\xff tail\n"s;
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

}  // namespace
}  // namespace quillpost::document
