#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "document/request_writer.h"
#include "quillpost/submission.h"

namespace quillpost {

// What a Submission holds. Between Initialise and Finalise `document` holds
// the request; the flags say which single-valued fields it holds, and
// `recipientCount` how many recipients were counted. Finalise drops the
// document and keeps the flags and the count.
struct detail::SubmissionState {
  std::optional<document::RequestWriter> document;
  bool fromSet = false;
  bool bodySet = false;
  bool subjectSet = false;
  std::int16_t recipientCount = 0;
  // A setting of the object, not of the request.
  std::size_t maxMessageSize = kDefaultMaxMessageSize;
  // The request carries a whole message (SetMessage).
  bool wholeMessageSet = false;
  // What made the last Send fail against the queue; Send is const towards
  // the request, this is all it records.
  mutable std::string sendFailure;
};

}  // namespace quillpost
