#pragma once

// Administration of the embedded store: list, peek, purge and move.

#include "queue/backend.h"

namespace quillpost::queue {

const AdminBackend& StoreAdmin();

}  // namespace quillpost::queue
