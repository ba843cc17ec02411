#include "relay/attachment_rules.h"

#include <sys/stat.h>
#include <unistd.h>

#include "queue/path_name.h"
#include "queue/queue.h"

namespace quillpost::relay {
namespace {

// True when someone other than the relay's own user may put a request on the
// queue named pathName; its store folder goes to folders.
bool QueueIsShared(const std::string& pathName, std::vector<std::string>& folders) {
  if (queue::BackendKindOf(pathName) == queue::BackendKind::Broker) {
    return true;
  }
  std::string folder;
  try {
    folder = queue::ParseQueuePath(pathName).storeFolder;
  } catch (const queue::QueueError&) {
    return false;  // the relay's start-up names the bad queue
  }
  folders.push_back(folder);
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    return false;  // not there yet: the relay creates it for its user alone
  }
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || info.st_uid != ::geteuid();
}

}  // namespace

void CompleteAttachmentRules(Settings& settings, const std::string& configFile) {
  smtp::AttachmentRules& rules = settings.connection.attachments;
  if (!configFile.empty()) {
    rules.forbidden.push_back(configFile);
  }
  rules.forbidden.push_back(settings.logFile.empty() ? DefaultLogFile() : settings.logFile);
  bool shared = false;
  for (const std::string* name : {&settings.inboundQueueName, &settings.retryQueueNameA,
                                  &settings.retryQueueNameB, &settings.deadLetterQueueName}) {
    shared = QueueIsShared(*name, rules.forbidden) || shared;
  }
  if (shared && !rules.roots) {
    rules.refusal =
        "a queue is shared (a broker queue, or a store other users may write to) and "
        "attachment_roots is not set";
  }
}

}  // namespace quillpost::relay
