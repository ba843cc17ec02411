#include "message/message_module.h"

#include "document/whole_message.h"

extern "C" __attribute__((visibility("default")))
const quillpost::message::MessageModule quillpost_message_module{
    quillpost::message::kMessageModuleVersion, &quillpost::message::Summarise,
    &quillpost::document::EncodeWholeMessage};
