// An ordered pipeline of batches: the calling thread reads batches ahead
// (the dump or the articles file) and consumes them in production order
// (numbering and writing), while the shared pool converts several at once.
// Reading and writing thus overlap with converting, while everything observable (output
// order, numbering, limits, progress lines, the first error) stays exactly as
// if the batches were handled one after another.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
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
// pool's parallel loops itself); what it throws (an allocation failure) is
// thrown from here, once no task works on a batch any more. `consume(Batch&)`
// returns Result<bool>: false asks to stop reading (a limit was reached).
// The first error, in production order, is returned. Once `cancel` is set,
// nothing more is read, converted or written, and the run reports it.
template <class Batch, class Produce, class Work, class Consume>
Result<void> run_batches(Produce&& produce, Work&& work, Consume&& consume, const std::atomic<bool>* cancel) {
    std::optional<Error> failure;
    bool stop = false;                       // no more batches are read
    std::atomic<bool> limit_reached{false};  // later batches are neither converted nor written
    std::atomic<bool> abandoned{false};      // produce or consume threw: nothing more is converted
    struct InFlight {
        std::shared_ptr<Batch> batch;
        std::unique_ptr<pool::Task> task;
    };
    std::deque<InFlight> in_flight;
    // Whatever way this is left, no task still works on a batch or on the
    // state above.
    struct Drain {
        std::deque<InFlight>& tasks;
        std::atomic<bool>& abandoned;
        ~Drain() {
            abandoned.store(true, std::memory_order_release);
            tasks.clear();  // each task waits for its job
        }
    } drain{in_flight, abandoned};

    // With no pool thread (one CPU, or none to be had) this thread converts
    // every batch itself: reading ahead would only hold more in memory.
    const std::size_t depth = pool::start() > 1 ? kBatchesInFlight : 1;
    for (;;) {
        // Read ahead while there is room, on this thread: the input belongs
        // to it. The pool converts the batches meanwhile.
        while (!stop && in_flight.size() < depth) {
            if (stop_requested(cancel)) {
                stop = true;
                break;
            }
            auto next = produce();
            std::shared_ptr<Batch> b;
            if (!next.ok()) {
                // Batches already in flight were read before the failure;
                // they are still written, then the error is reported, as a
                // one-at-a-time loop would.
                b = std::make_shared<Batch>();
                b->failure.emplace(std::move(next).error());
                stop = true;
            } else if (!next.value()) {
                stop = true;
                break;
            } else {
                b = std::make_shared<Batch>(std::move(*next.value()));
            }
            std::unique_ptr<pool::Task> task;
            if (!b->failure) {
                task = std::make_unique<pool::Task>([&work, &limit_reached, &abandoned, cancel, b] {
                    if (!limit_reached.load(std::memory_order_acquire) &&
                        !abandoned.load(std::memory_order_acquire) && !stop_requested(cancel)) {
                        work(*b);
                    }
                });
            }
            in_flight.push_back(InFlight{std::move(b), std::move(task)});
        }
        if (in_flight.empty()) break;
        InFlight front = std::move(in_flight.front());
        in_flight.pop_front();
        if (front.task) front.task->wait();
        std::shared_ptr<Batch> b = std::move(front.batch);
        // Once the limit is reached, later batches were only read ahead:
        // whatever reading or converting them met (a bad page, a decoding
        // error) is not the run's.
        if (failure || limit_reached.load(std::memory_order_acquire)) continue;
        if (stop_requested(cancel)) {
            // The batches' work may have been cut short.
            failure.emplace(interrupted());
            stop = true;
            continue;
        }
        if (b->failure) {
            failure = std::move(b->failure);
            stop = true;
            continue;
        }
        auto more = consume(*b);
        if (!more.ok()) {
            failure.emplace(std::move(more).error());
            stop = true;
        } else if (!more.value()) {
            limit_reached.store(true, std::memory_order_release);
            stop = true;
        }
    }
    if (failure) return std::move(*failure);
    if (stop_requested(cancel)) return interrupted();
    return Ok{};
}

}  // namespace corpuswright::stages
