#pragma once

// The counter file shared by the request-counting shim (requestcount.cpp, preloaded into the
// program) and the tests that read it: 64-bit slots, bumped atomically.

#include <cstddef>
#include <cstdint>

namespace requestcount {

enum Slot : std::size_t {
    kPointerQueries, // xcb_query_pointer(_unchecked): one per refresh tick
    kCopies,         // xcb_copy_area(_checked)
    kComposites,     // xcb_render_composite(_checked)
    kFills,          // xcb_render_fill_rectangles(_checked)
    kPuts,           // xcb_shm_put_image(_checked), xcb_put_image(_checked)
    kHold,           // the hold after a copy from the root, below
    kSlots
};
constexpr std::size_t kBytes = kSlots * sizeof(std::uint64_t);

// kHold: the test sets kArmed; the shim, after the next copy from the root has been done on
// the server, sets kHolding and waits for the test's kReleased, then sets kIdle.
enum Hold : std::uint64_t { kIdle, kArmed, kTaking, kHolding, kReleased };

} // namespace requestcount
