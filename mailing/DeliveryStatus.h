// What became of one attempt to deliver a message, and the counts of a run by that result.
#pragma once

#include <array>
#include <string_view>

enum class TDeliveryStatus { Sent, Refused, Deferred, Unknown, Skipped, Aborted };

namespace DeliveryStatus {

inline constexpr int Count = 6;

// The word stored in the ledger: SENT, REFUSED, DEFERRED, UNKNOWN, SKIPPED, ABORTED.
std::string_view Name(TDeliveryStatus status);
// The status a ledger word names; false for a word that names none.
bool FromName(std::string_view name, TDeliveryStatus& status);

} // namespace DeliveryStatus

// The number of recipients of a run whose latest attempt ended in each status.
struct TRunCounts {
    std::array<int, DeliveryStatus::Count> ByStatus{};
    int Errors = 0; // failures counted as the Errors field shows them

    int& operator[](TDeliveryStatus status) { return ByStatus[static_cast<size_t>(status)]; }
    int operator[](TDeliveryStatus status) const { return ByStatus[static_cast<size_t>(status)]; }
};
