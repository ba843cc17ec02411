#pragma once

// A request written anew, as the relay puts it back on a queue: by the one
// writer, from the values the one reader took out of it, so that a document
// that reached the relay in any shape the reader accepts leaves it in the
// writer's own, with the relay's count of tries, and with every value the
// reader gives byte for byte the same as before.

#include <optional>
#include <string>
#include <vector>

#include "document/request_reader.h"

namespace quillpost::document {

struct RequestChanges {
  // The recipients that remain, when some have the mail already; in the
  // order the request names them.
  std::optional<std::vector<std::string>> to;
  int tries = 0;
  // The sender was told the mail is late; once told, always kept.
  bool delayNoticeSent = false;
};

// Single-valued elements (FROM, FROM-NAME, SUBJECT, BODY, WHOLE-MESSAGE) are
// written once, with the first value, and only when request holds them.
std::string RewriteRequest(const RequestReader& request, const RequestChanges& changes);

}  // namespace quillpost::document
