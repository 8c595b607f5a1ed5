// The ledger's words for the results of a delivery.
#include "mailing/DeliveryStatus.h"

namespace DeliveryStatus {

namespace {

constexpr std::string_view Names[Count] = {"SENT", "REFUSED", "DEFERRED", "UNKNOWN", "SKIPPED", "ABORTED"};

} // namespace

std::string_view Name(TDeliveryStatus status) {
    return Names[static_cast<size_t>(status)];
}

bool FromName(std::string_view name, TDeliveryStatus& status) {
    for (int i = 0; i < Count; ++i)
        if (Names[i] == name) {
            status = static_cast<TDeliveryStatus>(i);
            return true;
        }
    return false;
}

} // namespace DeliveryStatus
