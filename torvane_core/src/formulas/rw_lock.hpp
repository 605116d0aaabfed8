// A reader-writer lock in one 32-bit word, for the registry's shards.
#pragma once

#include <atomic>
#include <cstdint>

namespace torvane {

struct RwLockProbe;  // the test hooks' window on the lock word

// std::shared_mutex is a pthread_rwlock_t: 56 bytes, and about sixty instructions around its two
// atomic operations for an uncontended read. A registry has up to seventeen shards and is read
// far more than written, so the lock is one word: readers count themselves in with one atomic
// add and out with one atomic subtract; a writer sets the top bit, then waits until the readers
// are gone. Waiting uses the word's own futex (std::atomic::wait), so nobody spins. Satisfies
// the standard Lockable and SharedLockable requirements, so std::shared_lock and
// std::unique_lock take it.
class RwLock {
public:
    RwLock() noexcept = default;
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    void lock_shared() noexcept {
        if (state_.fetch_add(1, std::memory_order_acquire) & kWriter) [[unlikely]]
            wait_for_writer();
    }

    void unlock_shared() noexcept {
        // The last reader out wakes a writer waiting for the readers to go.
        if (state_.fetch_sub(1, std::memory_order_release) == (kWriter | 1)) [[unlikely]]
            state_.notify_all();
    }

    void lock() noexcept {
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if ((s & kWriter) != 0) {  // GCOVR_EXCL_START: timing
                state_.wait(s, std::memory_order_relaxed);
                s = state_.load(std::memory_order_relaxed);
            } else if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                break;
            }  // GCOVR_EXCL_STOP
        }
        // New readers now back out; wait for those already in.
        for (s = state_.load(std::memory_order_acquire); s != kWriter;
             s = state_.load(std::memory_order_acquire)) {
            state_.wait(s, std::memory_order_acquire);
        }
    }

    void unlock() noexcept {
        state_.fetch_and(~kWriter, std::memory_order_release);
        state_.notify_all();
    }

private:
    friend struct RwLockProbe;
    static constexpr std::uint32_t kWriter = 0x8000'0000u;

    // A reader that met a writer: step back out, then come in once the writer has gone.
    [[gnu::noinline]] void wait_for_writer() noexcept {
        unlock_shared();
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if ((s & kWriter) != 0) {
                state_.wait(s, std::memory_order_relaxed);
                s = state_.load(std::memory_order_relaxed);
            } else if (state_.compare_exchange_weak(s, s + 1,  // GCOVR_EXCL_BR_LINE: timing
                                                    std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                return;
            }
        }
    }

    std::atomic<std::uint32_t> state_{0};  // readers inside, plus kWriter while a writer holds it
};

}  // namespace torvane
