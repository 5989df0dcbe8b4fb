// Stopping a run from outside: the caller (the Python layer, on a signal)
// sets a flag that the stages test between pages, lines and blocks. A
// stopped run ends like a failed one: its temporary files are removed, its
// decoder is stopped and every target stays as it was.
#pragma once

#include <atomic>

#include "corpuswright/error.hpp"

namespace corpuswright::stages {

// The flag may be null: nobody can stop the run.
inline bool stop_requested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

inline Error interrupted() { return Error("the run was interrupted", ErrorKind::Interrupted); }

}  // namespace corpuswright::stages
