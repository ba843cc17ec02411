#include "queue/broker/broker_module.h"

#include "queue/broker/broker_entry.h"

extern "C" __attribute__((visibility("default")))
const quillpost::queue::BrokerModule quillpost_queue_broker_module{
    quillpost::queue::kBrokerModuleVersion, &quillpost::queue::BrokerBackend,
    &quillpost::queue::MakeBrokerSender};
