#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mail/outgoing_mail.h"
#include "posix/unique_fd.h"

namespace quillpost::smtp {

struct AttachmentFile {
  std::string fileName;  // the last component of the path, as shown to the reader
  posix::UniqueFd file;  // open; read only while the message is sent
  std::size_t size = 0;  // when it was opened; what goes out
};

// Opens the file at path and checks that it can be read and that the rules
// let it go out. Throws SendFailure: kAttachmentMissing when nothing exists
// there, kAttachmentUnreadable when it cannot be read (no permission, not a
// regular file) or a rule refuses it.
AttachmentFile OpenAttachment(const std::string& path, const AttachmentRules& rules = {});

// Opens every file, then checks their total size against the rules; nothing
// is read yet.
std::vector<AttachmentFile> OpenAttachments(const std::vector<std::string>& paths,
                                            const AttachmentRules& rules);

}  // namespace quillpost::smtp
