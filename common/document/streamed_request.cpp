#include "document/streamed_request.h"

#include <algorithm>
#include <vector>

#include "base64_alphabet.h"

namespace quillpost::document {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

bool IsBase64Character(char c) {
  return detail::IsBase64Digit(c) || c == '=';
}

// Reads a piece from offset on into piece; throws when the text ends early.
std::size_t ReadPiece(const ReadAt& read, std::size_t offset, std::size_t size,
                      std::vector<char>& piece) {
  const std::size_t got = read(offset, piece.data(), std::min(piece.size(), size - offset));
  if (got == 0) {
    throw DocumentError("the request document ended at byte " + std::to_string(offset) +
                        " while it was read; it was " + std::to_string(size) + " bytes long");
  }
  return got;
}

// Where the base64 text ends, at its first '<', when bytes (the stored
// text from offset at on) hold it.
std::optional<std::size_t> EndOfText(std::string_view bytes, std::size_t at) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '<') {
      return at + i;
    }
    if (!IsBase64Character(bytes[i])) {
      throw DocumentError("the " + std::string(kWholeMessageTag) +
                          " element of the request at byte " + std::to_string(at + i) +
                          " is not plain base64 text");
    }
  }
  return std::nullopt;
}

}  // namespace

StreamedRequest ReadStreamedRequest(std::size_t size, const ReadAt& read) {
  const std::string open = "<" + std::string(kWholeMessageTag) + ">";
  std::vector<char> piece(std::min(kPiece, std::max<std::size_t>(size, 1)));
  std::string head;
  std::size_t at = 0;
  std::size_t start = std::string::npos;
  while (at < size && start == std::string::npos) {
    const std::size_t got = ReadPiece(read, at, size, piece);
    const std::size_t from = head.size() >= open.size() ? head.size() - open.size() + 1 : 0;
    head.append(piece.data(), got);
    at += got;
    start = head.find(open, from);
  }
  if (start == std::string::npos) {
    return {RequestReader(head), std::nullopt};
  }
  const std::size_t textStart = start + open.size();
  std::optional<std::size_t> textEnd =
      EndOfText(std::string_view(head).substr(textStart), textStart);
  head.resize(std::min(head.size(), textEnd.value_or(textStart)));
  while (!textEnd && at < size) {
    const std::size_t got = ReadPiece(read, at, size, piece);
    textEnd = EndOfText({piece.data(), got}, at);
    at += got;
  }
  if (!textEnd) {
    throw DocumentError("the request document ends inside its " + std::string(kWholeMessageTag) +
                        " element");
  }
  head.resize(textStart);
  std::string tail(size - *textEnd, '\0');
  for (std::size_t done = 0; done < tail.size();) {
    const std::size_t got = read(*textEnd + done, tail.data() + done, tail.size() - done);
    if (got == 0) {
      throw DocumentError("the request document ended early while it was read");
    }
    done += got;
  }
  // The base64 text is all the element holds: markup inside it (another
  // element, a comment) would make the text the reader gives differ from the
  // range read from the store.
  const std::string close = "</" + std::string(kWholeMessageTag);
  if (tail.compare(0, close.size(), close) != 0) {
    throw DocumentError("the " + std::string(kWholeMessageTag) +
                        " element of the request at byte " + std::to_string(*textEnd) +
                        " holds more than plain base64 text");
  }
  RequestReader reader(head + tail);
  // What was found must be the element itself, not text that looks like it
  // inside a comment or another value, and must stand where the writer puts
  // it, inside no other value whose text it would be part of.
  if (!reader.FirstStandsAloneAt(kWholeMessageTag, start)) {
    throw DocumentError("the request's " + std::string(kWholeMessageTag) +
                        " element is not where the request's writer puts it");
  }
  return {std::move(reader), TextRange{textStart, *textEnd - textStart}};
}

std::optional<std::size_t> WholeMessageSlot(std::string& document) {
  const std::string tag(kWholeMessageTag);
  const std::string name = "<" + tag;
  for (std::size_t at = document.find(name); at != std::string::npos;
       at = document.find(name, at + 1)) {
    const std::size_t after = at + name.size();
    if (document.compare(after, 1, ">") == 0) {
      return after + 1;
    }
    const std::size_t close = document.compare(after, 1, " ") == 0 ? after + 1 : after;
    if (document.compare(close, 2, "/>") == 0) {
      std::string element = name;
      element.append("></").append(tag).append(">");
      document.replace(at, close + 2 - at, element);
      return after + 1;
    }
  }
  return std::nullopt;
}

}  // namespace quillpost::document
