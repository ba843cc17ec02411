#include "listener_metrics.h"

#include "metrics/exposition.h"

namespace quillpost::smtpd {
namespace {

constexpr std::array<const char*, 7> kRefusalNames{
    "too_large", "too_many_recipients", "bad_message", "not_permitted", "queue_failed", "timeout",
    "protocol"};

}  // namespace

void ListenerMetrics::Queued(const QueuedMessage& message) {
  ++messages_;
  octets_ += message.size;
}

void ListenerMetrics::Refused(Refusal refusal) {
  ++refusals_.at(static_cast<std::size_t>(refusal));
}

std::string ListenerMetrics::Render(int active) const {
  metrics::Exposition text;
  text.Family("quillpost_smtpd_connections_total", "counter", "Connections accepted.");
  text.Sample("quillpost_smtpd_connections_total", {}, connections_.load());
  text.Family("quillpost_smtpd_connections_refused_total", "counter",
              "Connections refused at a connection limit.");
  text.Sample("quillpost_smtpd_connections_refused_total", {}, connectionsRefused_.load());
  text.Family("quillpost_smtpd_connections", "gauge", "Connections open now.");
  text.Sample("quillpost_smtpd_connections", {}, static_cast<std::uint64_t>(active));
  text.Family("quillpost_smtpd_messages_queued_total", "counter",
              "Messages put on the queue and answered 250.");
  text.Sample("quillpost_smtpd_messages_queued_total", {}, messages_.load());
  text.Family("quillpost_smtpd_message_octets_total", "counter",
              "Octets of the messages queued, as the clients sent them.");
  text.Sample("quillpost_smtpd_message_octets_total", {}, octets_.load());
  text.Family("quillpost_smtpd_refusals_total", "counter",
              "Commands and messages refused, by why.");
  for (std::size_t i = 0; i < kRefusalNames.size(); ++i) {
    text.Sample("quillpost_smtpd_refusals_total", {{"reason", kRefusalNames[i]}},
                refusals_[i].load());
  }
  return text.Text();
}

}  // namespace quillpost::smtpd
