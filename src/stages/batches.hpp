// An ordered pipeline of batches: one thread produces batches (reading the
// dump or the articles file), several convert them at once, and one thread
// consumes them in production order (numbering and writing). Reading,
// converting and writing thus overlap, while everything observable (output
// order, numbering, limits, progress lines, the first error) stays exactly as
// if the batches were handled one after another.
#pragma once

#include <tbb/parallel_pipeline.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>

#include "corpuswright/error.hpp"
#include "corpuswright/pool.hpp"
#include "corpuswright/stages/stop.hpp"

namespace corpuswright::stages {

// Batches in flight at once: enough to keep the pool busy while the
// producer reads ahead and the consumer writes, few enough that memory
// stays a small multiple of one batch.
inline constexpr std::size_t kBatchesInFlight = 4;

// `produce()` returns Result<std::optional<Batch>>: a batch, nothing at the
// end, or an error. Batch has a member `std::optional<Error> failure`. `work(Batch&)` converts a batch in place (it may run the
// pool's parallel loops itself) and must not throw. `consume(Batch&)`
// returns Result<bool>: false asks to stop reading (a limit was reached).
// The first error, in production order, is returned. Once `cancel` is set,
// nothing more is read, converted or written, and the run reports it.
template <class Batch, class Produce, class Work, class Consume>
Result<void> run_batches(Produce&& produce, Work&& work, Consume&& consume, const std::atomic<bool>* cancel) {
    std::optional<Error> failure;            // consumer thread only
    std::atomic<bool> stop{false};           // no more batches are read
    std::atomic<bool> limit_reached{false};  // later batches are neither converted nor written
    pool::shared().execute([&] {
        tbb::parallel_pipeline(
            kBatchesInFlight,
            tbb::make_filter<void, std::shared_ptr<Batch>>(
                tbb::filter_mode::serial_in_order,
                [&](tbb::flow_control& fc) -> std::shared_ptr<Batch> {
                    if (stop.load(std::memory_order_acquire) || stop_requested(cancel)) {
                        fc.stop();
                        return nullptr;
                    }
                    auto next = produce();
                    if (!next.ok()) {
                        // Batches already in flight were read before the
                        // failure; they are still written, then the error
                        // is reported, as a one-at-a-time loop would.
                        auto b = std::make_shared<Batch>();
                        b->failure.emplace(std::move(next).error());
                        stop.store(true, std::memory_order_release);
                        return b;
                    }
                    if (!next.value()) {
                        fc.stop();
                        return nullptr;
                    }
                    return std::make_shared<Batch>(std::move(*next.value()));
                }) &
                tbb::make_filter<std::shared_ptr<Batch>, std::shared_ptr<Batch>>(
                    tbb::filter_mode::parallel,
                    [&](std::shared_ptr<Batch> b) {
                        if (!b->failure && !limit_reached.load(std::memory_order_acquire) && !stop_requested(cancel)) {
                            work(*b);
                        }
                        return b;
                    }) &
                tbb::make_filter<std::shared_ptr<Batch>, void>(
                    tbb::filter_mode::serial_in_order, [&](std::shared_ptr<Batch> b) {
                        // Once the limit is reached, later batches were only
                        // read ahead: whatever reading or converting them met
                        // (a bad page, a decoding error) is not the run's.
                        if (failure) return;
                        if (stop_requested(cancel)) {
                            // The batches' work may have been cut short.
                            failure.emplace(interrupted());
                            stop.store(true, std::memory_order_release);
                            return;
                        }
                        if (limit_reached.load(std::memory_order_acquire)) return;
                        if (b->failure) {
                            failure = std::move(b->failure);
                            stop.store(true, std::memory_order_release);
                            return;
                        }
                        auto more = consume(*b);
                        if (!more.ok()) {
                            failure.emplace(std::move(more).error());
                            stop.store(true, std::memory_order_release);
                        } else if (!more.value()) {
                            limit_reached.store(true, std::memory_order_release);
                            stop.store(true, std::memory_order_release);
                        }
                    }));
    });
    if (failure) return std::move(*failure);
    if (stop_requested(cancel)) return interrupted();
    return Ok{};
}

}  // namespace corpuswright::stages
