#pragma once

namespace quillpost {

// Adds the application event-log entry of a send that failed against the queue.
void ReportSendFailure() noexcept;

}  // namespace quillpost
