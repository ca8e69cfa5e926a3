#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace Kivra::HardwareAPI::Servo {

// One writer at a time, any number of readers, none of which can hold the
// writer up. The value travels as atomic words: a plain copy racing with the
// writer would be a data race even when the sequence check throws it away.
// Acquire loads and release stores of the words keep the sequence reads on
// either side of them without standalone fences, which ThreadSanitizer
// cannot follow.
template <typename T>
class SeqlockCell {
    static_assert(std::is_trivially_copyable_v<T>, "the cell copies bytes");
    static constexpr std::size_t WORDS = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

public:
    void store(const T& value) {
        uint64_t words[WORDS] = {};
        std::memcpy(words, &value, sizeof(T));
        const uint64_t before = sequence.load(std::memory_order_relaxed);
        sequence.store(before + 1, std::memory_order_relaxed);
        for (std::size_t i = 0; i < WORDS; ++i) data[i].store(words[i], std::memory_order_release);
        sequence.store(before + 2, std::memory_order_release);
    }

    // False when a write overlapped the read; out is then unchanged.
    bool try_load(T& out, uint64_t& version) const {
        const uint64_t before = sequence.load(std::memory_order_acquire);
        if (before & 1u) return false;
        uint64_t words[WORDS];
        for (std::size_t i = 0; i < WORDS; ++i) words[i] = data[i].load(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) != before) return false;
        std::memcpy(&out, words, sizeof(T));
        version = before;
        return true;
    }

    T load() const {
        T out{};
        uint64_t version = 0;
        for (unsigned attempt = 0; !try_load(out, version); ++attempt) {
            // The writer was preempted inside its store: let it finish.
            if (attempt >= 64) std::this_thread::yield();
        }
        return out;
    }

    uint64_t version() const { return sequence.load(std::memory_order_acquire); }

private:
    std::atomic<uint64_t> sequence{0};
    std::array<std::atomic<uint64_t>, WORDS> data{};
};

}  // namespace Kivra::HardwareAPI::Servo
