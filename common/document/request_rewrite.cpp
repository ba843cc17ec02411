#include "document/request_rewrite.h"

#include "document/request_writer.h"

namespace quillpost::document {
namespace {

using Section = RequestWriter::Section;

void CopyFirst(const RequestReader& request, RequestWriter& writer, Section section,
               std::string_view tag) {
  const std::vector<std::string> values = request.All(tag);
  if (!values.empty()) {
    writer.Append(section, tag, values.front());
  }
}

void CopyAll(const std::vector<std::string>& values, RequestWriter& writer, Section section,
             std::string_view tag) {
  for (const std::string& value : values) {
    writer.Append(section, tag, value);
  }
}

}  // namespace

std::string RewriteRequest(const RequestReader& request, const RequestChanges& changes) {
  RequestWriter writer;
  CopyFirst(request, writer, Section::Routing, kFromTag);
  CopyFirst(request, writer, Section::Routing, kFromNameTag);
  CopyAll(changes.to ? *changes.to : request.All(kToTag), writer, Section::Routing, kToTag);
  CopyFirst(request, writer, Section::Message, kSubjectTag);
  CopyFirst(request, writer, Section::Message, kBodyTag);
  CopyAll(request.All(kFileTag), writer, Section::Attachments, kFileTag);
  if (const std::vector<std::string> whole = request.All(kWholeMessageTag); !whole.empty()) {
    writer.AppendAfterSections(kWholeMessageTag, whole.front());
  }
  writer.SetRelayTries(changes.tries, changes.delayNoticeSent || request.RelayDelayNoticeSent());
  return writer.Serialize();
}

}  // namespace quillpost::document
