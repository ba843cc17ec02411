#pragma once

#include <string>

namespace quillpost::smtp {

struct AttachmentFile {
  std::string fileName;  // the last component of the path, as shown to the reader
  std::string content;
};

// Reads the file at path whole. Throws SendFailure: kAttachmentMissing when
// nothing exists there, kAttachmentUnreadable when it cannot be read (no
// permission, not a regular file, a read error).
AttachmentFile ReadAttachment(const std::string& path);

}  // namespace quillpost::smtp
