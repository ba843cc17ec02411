#include "document/request_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/request_rewrite.h"

namespace quillpost::document {
namespace {

using Texts = std::vector<std::string>;

TEST(RequestReader, ReadsForeignDocumentsByTagNameAlone) {
  // Another root name, fields outside the sections, two FROM elements and a
  // trailing line break: the first FROM wins and everything is found.
  const RequestReader reader(
      "<Other-2.0><FROM>first@x</FROM><Routing><TO>a</TO><FROM>second@x</FROM></Routing>"
      "<FILE>f1</FILE><Message><BODY>b</BODY><Deep><TO>c</TO></Deep></Message>"
      "<SUBJECT>s</SUBJECT></Other-2.0>\r\n");
  EXPECT_EQ(reader.First(kFromTag), "first@x");
  EXPECT_EQ(reader.All(kFromTag), (Texts{"first@x", "second@x"}));
  EXPECT_EQ(reader.All(kToTag), (Texts{"a", "c"}));
  EXPECT_EQ(reader.First(kSubjectTag), "s");
  EXPECT_EQ(reader.First(kBodyTag), "b");
  EXPECT_EQ(reader.All(kFileTag), (Texts{"f1"}));
  EXPECT_TRUE(reader.All("NONE").empty());
}

TEST(RequestReader, TrailingLineBreakChangesNothing) {
  const std::string text = "<Quillpost-1.0><Routing><FROM>x</FROM></Routing></Quillpost-1.0>";
  EXPECT_EQ(RequestReader(text).First(kFromTag), RequestReader(text + "\n").First(kFromTag));
}

TEST(RequestReader, TextIncludesDescendantsCdataAndResolvedReferences) {
  const RequestReader reader(
      "<r><BODY>one <b>two <i>three</i></b> &lt;&amp;&gt;&quot;&apos; &#65;&#x42; "
      "<![CDATA[<raw & data>]]></BODY><FILE/><FILE></FILE></r>");
  EXPECT_EQ(reader.First(kBodyTag), "one two three <&>\"' AB <raw & data>");
  EXPECT_EQ(reader.All(kFileTag), (Texts{"", ""}));
}

// XML forbids a reference to a character it does not allow; taking &#0; as the
// end of the value once cut "victim@example.org&#0;.evil" down to a deliverable
// address.
TEST(RequestReader, ReferencesToForbiddenCharactersAreParseErrors) {
  for (const std::string reference :
       {"&#0;", "&#x0;", "&#1;", "&#x1F;", "&#xFFFE;", "&#xD800;", "&#1114112;", "&#4294967361;",
        "&#;", "&#x;", "&#X41;", "&#65", "&#6 5;"}) {
    const std::string text = "<r><TO>victim@example.org" + reference + ".evil</TO></r>";
    try {
      RequestReader reader(text);
      ADD_FAILURE() << "accepted: " << text << " as " << reader.First(kToTag);
    } catch (const ParseError& error) {
      EXPECT_EQ(error.Offset(), 25U) << text << " -> " << error.what();
    }
  }
  EXPECT_EQ(RequestReader("<r><TO>&#9;&#x0a;&#13;&#0000065;&#x1F600;&amp&unknown;</TO></r>")
                .First(kToTag),
            "\t\n\rA\xF0\x9F\x98\x80&amp&unknown;");
}

TEST(RequestReader, MissingSingleFieldIsReported) {
  const RequestReader reader("<Quillpost-1.0><Routing/><Message/><Attachments/></Quillpost-1.0>");
  try {
    (void)reader.First(kFromNameTag);
    FAIL() << "no FROM-NAME yet First answered";
  } catch (const MissingElement& error) {
    EXPECT_NE(std::string(error.what()).find("FROM-NAME"), std::string::npos) << error.what();
  }
  EXPECT_TRUE(reader.All(kToTag).empty());
}

TEST(RequestReader, CommentsDeclarationAndInstructionsCarryNoText) {
  const RequestReader reader(
      "<?xml version=\"1.0\"?><!-- c --><r><?pi x?><TO>a<!-- hidden -->b</TO></r>");
  EXPECT_EQ(reader.First(kToTag), "ab");
}

struct Malformed {
  std::string text;
  std::size_t offset;
};

TEST(RequestReader, MalformedTextNamesThePosition) {
  const Malformed cases[] = {
      {"", 0},
      {"<r><TO>a</FROM></r>", 10},
      {"<r><TO>a</TO>", 12},
      {"<r></r><r></r>", 7},
      {"<r></r>trailing", 7},
      {"text<r></r>", 0},
      {"<!DOCTYPE r [<!ENTITY e \"v\">]><r>&e;</r>", 0},
      {"<r><TO a=></TO></r>", 9},
      {"<r\n\n\tD", 6},  // ends inside a tag: the end of the text, never beyond it
      // What the writer could not write back: a raw control character, bytes
      // that are not UTF-8.
      {"<r><TO>a\x01</TO></r>", 8},
      {"<r><TO>\xFF\xFE</TO></r>", 7},
  };
  for (const auto& [text, offset] : cases) {
    try {
      RequestReader reader(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ParseError& error) {
      EXPECT_EQ(error.Offset(), offset) << text << " -> " << error.what();
      EXPECT_NE(std::string(error.what()).find("at byte " + std::to_string(offset)),
                std::string::npos)
          << error.what();
    }
  }
}

TEST(RequestReader, SurvivesHostileInput) {
  // Deep nesting, read back through every level without recursion.
  const std::size_t depth = 200000;
  std::string deep;
  for (std::size_t i = 0; i < depth; ++i) {
    deep += "<BODY>";
  }
  deep += "x";
  for (std::size_t i = 0; i < depth; ++i) {
    deep += "</BODY>";
  }
  const RequestReader nested(deep);
  EXPECT_EQ(nested.First(kBodyTag), "x");
  EXPECT_EQ(nested.All(kFileTag).size(), 0U);

  // Megabytes of text.
  const std::string big(8 << 20, 'm');
  EXPECT_EQ(RequestReader("<r><BODY>" + big + "</BODY></r>").First(kBodyTag), big);

  // Every truncation of a valid document either parses or raises ParseError.
  const std::string whole = "<r><TO>a&amp;b</TO><![CDATA[x]]><!--c--></r>";
  for (std::size_t length = 0; length < whole.size(); ++length) {
    EXPECT_THROW(RequestReader(whole.substr(0, length)), ParseError) << whole.substr(0, length);
  }
}

// Whatever shape a document came in, the one writer gives back every value
// the reader took out of it, byte for byte, and the same text when asked again.
TEST(RequestRewrite, KeepsEveryValueTheReaderAccepted) {
  const std::string shapes[] = {
      "<Quillpost-1.0><Routing><FROM>a@x</FROM><FROM-NAME>A &amp; B</FROM-NAME><TO>b@y</TO>"
      "<TO>c@y</TO></Routing><Message><SUBJECT>&lt;s&gt;</SUBJECT><BODY>one&#13;two\r\nthree"
      "</BODY></Message><Attachments><FILE>/f</FILE></Attachments></Quillpost-1.0>\n",
      "<r><TO>temp<Relay/>@example.org</TO><FROM>x<![CDATA[<&>]]>y</FROM><FROM>2nd</FROM>"
      "<BODY><TO>inner</TO>outer</BODY><SUBJECT/><Relay><QUEUE-ID>0123456789ABCDEF</QUEUE-ID>"
      "<TRIES>7</TRIES></Relay><WHOLE-MESSAGE>U3ViamVjdDogeA0KDQp5DQo=</WHOLE-MESSAGE></r>",
  };
  const std::string_view tags[] = {kFromTag, kFromNameTag, kToTag,          kSubjectTag,
                                   kBodyTag, kFileTag,     kWholeMessageTag};
  for (const std::string& shape : shapes) {
    const RequestReader accepted(shape);
    const std::string written = RewriteRequest(accepted, {.to = std::nullopt, .tries = 3});
    const RequestReader again(written);
    for (const std::string_view tag : tags) {
      const Texts before = accepted.All(tag);
      const Texts after = again.All(tag);
      if (tag == kToTag || tag == kFileTag || before.empty()) {
        EXPECT_EQ(after, before) << tag << " of " << shape;
      } else {
        EXPECT_EQ(after, Texts{before.front()}) << tag << " of " << shape;
      }
    }
    EXPECT_EQ(again.RelayTries(), 3);
    EXPECT_EQ(RewriteRequest(again, {.to = std::nullopt, .tries = 3}), written);
  }
}

}  // namespace
}  // namespace quillpost::document
