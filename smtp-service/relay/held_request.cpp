// A request as it comes off its queue. One whose body came in memory is read
// there. One whose body stayed in its store (a whole message of many
// megabytes) is read from there with its whole message's text left where it
// is: its session decodes that text as libcurl sends it, and a move to
// another queue copies it within the store, so no relay session ever holds
// such a message whole.

#include <memory>

#include "document/streamed_request.h"
#include "document/whole_message_source.h"
#include "relay/status.h"

namespace quillpost::relay {

std::unique_ptr<message::ByteSource> Status::ReadHeldRequest(
    queue::ReceivedMessage& message, std::optional<document::RequestReader>& request) {
  if (!message.BodyLeftOut()) {
    request.emplace(message.Body());
    return nullptr;
  }
  // Read here, then by the session that sends the mail; never by both at once.
  const std::shared_ptr<queue::BodyStream> body = message.OpenBody();
  const document::ReadAt read = [body](std::size_t offset, char* out, std::size_t length) {
    return body->Read(offset, out, length);
  };
  document::StreamedRequest streamed = document::ReadStreamedRequest(body->Size(), read);
  request.emplace(std::move(streamed.reader));
  if (!streamed.wholeMessage) {
    return nullptr;
  }
  current_.keptText = streamed.wholeMessage;
  return std::make_unique<document::WholeMessageSource>(read, *streamed.wholeMessage);
}

void Status::MoveOn(queue::ReceivedMessage& message, const std::string& pathName,
                    const queue::Message& next) {
  // An empty body is a request that moves on as it came (see DeadLetter).
  if (!current_.keptText || !message.BodyLeftOut() || next.body.empty()) {
    message.FinishAndSend(pathName, next);
    return;
  }
  queue::Message written = next;
  const std::optional<std::size_t> slot = document::WholeMessageSlot(written.body);
  if (!slot) {
    throw document::DocumentError("the request written anew has no place for its whole message");
  }
  message.FinishAndSendKeeping(pathName, written,
                               {*slot, current_.keptText->offset, current_.keptText->length});
}

}  // namespace quillpost::relay
