#pragma once

#include <cstddef>

#include "orbalt/kvt/stream_samples.hpp"

namespace orbalt::kvt_bridge {

/// Visits the samples of a batch in receive-time order: each stream's samples keep their
/// arrival order, and a basic sample goes before an extra one received at the same instant.
template <typename OnBasic, typename OnExtra>
void ForEachByReceiveTime(kvt::SampleBatch& batch, OnBasic&& on_basic, OnExtra&& on_extra) {
  std::size_t b = 0, e = 0;
  while (b < batch.basic.size() || e < batch.extra.size()) {
    if (e == batch.extra.size() ||
        (b < batch.basic.size() &&
         batch.basic[b].receive_time_ns <= batch.extra[e].receive_time_ns)) {
      on_basic(batch.basic[b++]);
    } else {
      on_extra(batch.extra[e++]);
    }
  }
}

}  // namespace orbalt::kvt_bridge
