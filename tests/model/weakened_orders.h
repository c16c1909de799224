// The grace period's orders, each weakened one step below the library's in
// turn: a scenario run with any of them must let the model checker find the
// fault that the order guards against, or the scenario proves nothing.
#pragma once

#include "grace_period.h"

namespace model {

using LibraryOrders = zev::GracePeriodOrders;

struct LeaveRelaxed : LibraryOrders {
    // C: the reader's last uses no longer happen before the free.
    static constexpr zev::MemoryOrder leave = zev::kRelaxed;
};
struct ReadAcquire : LibraryOrders {
    // B: the reader may read the record that D took away, after E saw no reader.
    static constexpr zev::MemoryOrder read = zev::kAcquire;
};
struct AnnounceRelaxed : LibraryOrders {
    // A: E may miss the reader, which then reads the old record.
    static constexpr zev::MemoryOrder announce = zev::kRelaxed;
};
struct DrainAcquire : LibraryOrders {
    // E: may read a stale zero (the other half of the store-load pattern).
    static constexpr zev::MemoryOrder drain = zev::kAcquire;
};
struct PublishRelaxed : LibraryOrders {
    // A reader of the pointer no longer sees the record whole.
    static constexpr zev::MemoryOrder publish = zev::kRelaxed;
};

}  // namespace model
