#include "document/request_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "document/request_reader.h"

namespace quillpost::document {
namespace {

using Section = RequestWriter::Section;

TEST(RequestWriter, WritesTheSubmittedRequestByteForByte) {
  RequestWriter writer;
  writer.Append(Section::Routing, kFromTag, "sender-address");
  writer.Append(Section::Routing, kFromNameTag, "Sender Name");
  writer.Append(Section::Routing, kToTag, "first-recipient");
  writer.Append(Section::Routing, kToTag, "second-recipient");
  writer.Append(Section::Message, kSubjectTag, "Monthly figures & notes");
  writer.Append(Section::Message, kBodyTag, "See the attached figures.");
  writer.Append(Section::Attachments, kFileTag, "C:\\out\\figures.xls");

  EXPECT_EQ(
      writer.Serialize(),
      "<Quillpost-1.0><Routing><FROM>sender-address</FROM><FROM-NAME>Sender Name</FROM-NAME>"
      "<TO>first-recipient</TO><TO>second-recipient</TO></Routing><Message><SUBJECT>Monthly "
      "figures &amp; notes</SUBJECT><BODY>See the attached figures.</BODY></Message><Attachments>"
      "<FILE>C:\\out\\figures.xls</FILE></Attachments></Quillpost-1.0>");
}

TEST(RequestWriter, FreshDocumentAndEmptyValuesHaveNoContent) {
  RequestWriter writer;
  EXPECT_EQ(writer.Serialize(),
            "<Quillpost-1.0><Routing/><Message/><Attachments/></Quillpost-1.0>");

  writer.Append(Section::Message, kSubjectTag, "");
  writer.Append(Section::Message, kBodyTag, "text");
  ASSERT_TRUE(writer.SetFirst(kBodyTag, ""));
  EXPECT_EQ(writer.Serialize(),
            "<Quillpost-1.0><Routing/><Message><SUBJECT/><BODY/></Message><Attachments/></"
            "Quillpost-1.0>");

  const RequestReader reader(writer.Serialize());
  EXPECT_EQ(reader.First(kSubjectTag), "");
  EXPECT_EQ(reader.First(kBodyTag), "");
}

TEST(RequestWriter, SetFirstReplacesOnlyTheFirstMatch) {
  RequestWriter writer;
  writer.Append(Section::Routing, kToTag, "a");
  writer.Append(Section::Routing, kToTag, "b");
  EXPECT_TRUE(writer.SetFirst(kToTag, "c"));
  EXPECT_FALSE(writer.SetFirst(kFromTag, "nobody"));
  EXPECT_EQ(writer.Count(kToTag), 2U);
  EXPECT_EQ(writer.Count(kFromTag), 0U);
  EXPECT_EQ(writer.Count(kRoutingTag), 1U);
  EXPECT_EQ(RequestReader(writer.Serialize()).All(kToTag), (std::vector<std::string>{"c", "b"}));
}

TEST(RequestWriter, RecipientsBeforeTheSenderStandFirstAndStillReadBack) {
  RequestWriter writer;
  writer.Append(Section::Routing, kToTag, "one");
  writer.Append(Section::Routing, kToTag, "two");
  writer.Append(Section::Routing, kFromTag, "me");
  writer.Append(Section::Routing, kFromNameTag, "Me");
  EXPECT_EQ(
      writer.Serialize(),
      "<Quillpost-1.0><Routing><TO>one</TO><TO>two</TO><FROM>me</FROM><FROM-NAME>Me</FROM-NAME>"
      "</Routing><Message/><Attachments/></Quillpost-1.0>");
  const RequestReader reader(writer.Serialize());
  EXPECT_EQ(reader.First(kFromTag), "me");
  EXPECT_EQ(reader.First(kFromNameTag), "Me");
  EXPECT_EQ(reader.All(kToTag), (std::vector<std::string>{"one", "two"}));
}

// Every value that may be set must come back unchanged, whatever XML would
// otherwise make of it.
TEST(RequestWriter, ValuesRoundTripUnchanged) {
  const std::string values[] = {
      "a & b < c > d",
      "&amp; is already escaped; so is &lt;",
      "quotes \" and ' and ]]> too",
      "line one\r\nline two\nline three\rend",
      "  leading and trailing blanks  ",
      " ",
      "\t",
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7",
      "<FROM>forged</FROM>",
  };
  for (const std::string& value : values) {
    RequestWriter writer;
    writer.Append(Section::Message, kBodyTag, value);
    const std::string text = writer.Serialize();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(value.begin(), value.end(), '\n'))
        << "line breaks only where the value has them: " << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    const RequestReader reader(text);
    EXPECT_EQ(reader.First(kBodyTag), value) << text;
    EXPECT_EQ(reader.All(kFromTag).size(), 0U) << text;
  }
}

TEST(RequestWriter, EscapesAmpersandAndLessThanWithPredefinedEntities) {
  RequestWriter writer;
  writer.Append(Section::Message, kSubjectTag, "a&b<c");
  const std::string text = writer.Serialize();
  EXPECT_NE(text.find("<SUBJECT>a&amp;b&lt;c</SUBJECT>"), std::string::npos) << text;
}

TEST(RequestWriter, RefusedValueChangesNothing) {
  RequestWriter writer;
  writer.Append(Section::Message, kSubjectTag, "kept");
  const std::string before = writer.Serialize();

  EXPECT_THROW(writer.Append(Section::Message, kBodyTag, std::string("bell\x07")), InvalidValue);
  EXPECT_THROW(writer.SetFirst(kSubjectTag, std::string("nul\0", 4)), InvalidValue);
  EXPECT_THROW(writer.Append(Section::Routing, kToTag, "latin1 \xE9"), InvalidValue);
  EXPECT_EQ(writer.Serialize(), before);
}

TEST(RequestWriter, RefusesTagsThatAreNotElementNames) {
  RequestWriter writer;
  EXPECT_THROW(writer.Append(Section::Routing, "", "x"), std::invalid_argument);
  EXPECT_THROW(writer.Append(Section::Routing, "TO><X", "x"), std::invalid_argument);
  EXPECT_THROW(writer.Append(Section::Routing, "1TO", "x"), std::invalid_argument);
  EXPECT_EQ(writer.Count(kToTag), 0U);
}

}  // namespace
}  // namespace quillpost::document
