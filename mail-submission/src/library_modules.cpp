// libmailer.so alone: the broker and the message summary come from modules in
// the folder QUILLPOST_MAILER_MODULE_FOLDER next to the library, loaded on
// first use. A process that only sends to stores maps neither librabbitmq and
// OpenSSL nor GMime and GLib; start-up is most of what a short-lived
// sending program costs. The static copy of the library links both instead.

#include <filesystem>
#include <mutex>
#include <string>

#include "document/whole_message.h"
#include "message/message_module.h"
#include "message/message_summary.h"
#include "posix/loaded_module.h"
#include "queue/broker/broker_entry.h"
#include "queue/broker/broker_module.h"
#include "queue/queue.h"
#include "quillpost/submission.h"

namespace quillpost {
namespace {

// The module's entry, loaded once; a module that failed to load is tried
// again on the next use. Throws posix::ModuleError naming the module.
template <typename Entry>
const Entry& ModuleEntry(const char* file, const char* symbol, int version) {
  static std::mutex mutex;
  static posix::LoadedModule module;
  static const Entry* entry = nullptr;
  const std::lock_guard lock(mutex);
  if (entry == nullptr) {
    const std::filesystem::path path =
        posix::FolderOfCode(reinterpret_cast<const void*>(&ModuleEntry<Entry>)) /
        QUILLPOST_MAILER_MODULE_FOLDER / file;
    posix::LoadedModule loaded = posix::LoadedModule::Open(path);
    const auto* found = static_cast<const Entry*>(loaded.Symbol(symbol));
    if (found->version != version) {
      throw posix::ModuleError("the module " + path.string() +
                               " belongs to another version of the library");
    }
    module = std::move(loaded);
    entry = found;
  }
  return *entry;
}

const queue::BrokerModule& Broker() {
  try {
    return ModuleEntry<queue::BrokerModule>(queue::kBrokerModuleFile, queue::kBrokerModuleSymbol,
                                            queue::kBrokerModuleVersion);
  } catch (const posix::ModuleError& error) {
    throw queue::QueueError(error.what());
  }
}

}  // namespace

const queue::Backend& queue::BrokerBackend() {
  return Broker().backend();
}

std::unique_ptr<queue::SharedSender> queue::MakeBrokerSender() {
  return Broker().makeSender();
}

namespace {

const message::MessageModule& Message() {
  try {
    return ModuleEntry<message::MessageModule>(
        message::kMessageModuleFile, message::kMessageModuleSymbol, message::kMessageModuleVersion);
  } catch (const posix::ModuleError& error) {
    throw SubmissionError(SubmissionError::Code::Internal, error.what());
  }
}

}  // namespace

message::MessageSummary message::Summarise(std::string_view message) {
  return Message().summarise(message);
}

std::string document::EncodeWholeMessage(std::string_view message) {
  return Message().encodeWholeMessage(message);
}

}  // namespace quillpost
