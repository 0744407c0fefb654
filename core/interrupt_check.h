// SPDX-License-Identifier: BSD-3-Clause
// How a caller stops a long host-free computation (Ctrl-C at the prompt, or the other
// threads of a batch call): the routine asks `pending(context)` now and then -- between
// columns, or every million nodes or exchanges or so -- and when it answers true, stops
// and reports that it was interrupted. Asking never changes what the routine computes.
#pragma once

struct interrupt_check {
    bool (*pending)(const void* context);
    const void* context;
};

// A check that never stops anything.
inline bool never_pending(const void*) {
    return false;
}
constexpr interrupt_check no_interrupt{never_pending, nullptr};

inline bool interrupt_requested(const interrupt_check* check) {
    return check != nullptr && check->pending(check->context);
}
