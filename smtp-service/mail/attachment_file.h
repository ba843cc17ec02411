#pragma once

#include <cstddef>
#include <string>

#include "mail/gmime_support.h"

namespace quillpost::smtp {

struct AttachmentFile {
  std::string fileName;             // the last component of the path, as shown to the reader
  GObjectPtr<GMimeStream> content;  // the open file, read only while the message is written
  std::size_t size = 0;             // when it was opened
};

// Opens the file at path and checks that it can be read. Throws SendFailure:
// kAttachmentMissing when nothing exists there, kAttachmentUnreadable when it
// cannot be read (no permission, not a regular file).
AttachmentFile OpenAttachment(const std::string& path);

}  // namespace quillpost::smtp
