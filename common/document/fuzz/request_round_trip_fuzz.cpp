// Every value that CheckValue lets through must come back from the reader
// byte for byte, whichever field it is written to.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "document/request_reader.h"
#include "document/request_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quillpost::document::RequestWriter;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first half goes to the subject, the rest to a recipient.
  const std::string_view subject = input.substr(0, size / 2);
  const std::string_view recipient = input.substr(size / 2);
  RequestWriter writer;
  try {
    writer.Append(RequestWriter::Section::Message, quillpost::document::kSubjectTag, subject);
    writer.Append(RequestWriter::Section::Routing, quillpost::document::kToTag, recipient);
  } catch (const quillpost::document::InvalidValue&) {
    return 0;
  }
  const quillpost::document::RequestReader reader(writer.Serialize());
  if (reader.First(quillpost::document::kSubjectTag) != subject ||
      reader.All(quillpost::document::kToTag).at(0) != recipient) {
    std::abort();
  }
  return 0;
}
