// How a run ends: the Result of the public interface, decided in one place
// by the flow that meets a problem; `Start` turns it into the message.
#pragma once

#include <type_traits>

#include "vemk/vemk.h"

namespace vemk {

// Runs one call of the public interface. Nothing beneath throws but the
// C++ runtime when an allocation fails, and no caller was promised an
// exception: it comes back as outOfMemory, in the call's own result type
// (a Result, or a record whose `result` says it).
template <class Call>
auto guarded(Call&& call) noexcept -> decltype(call()) {
    using Outcome = decltype(call());
    try {
        return call();
    } catch (...) {
        if constexpr (std::is_same_v<Outcome, Result>) {
            return Result::outOfMemory;
        } else {
            Outcome failed;
            failed.result = Result::outOfMemory;
            return failed;
        }
    }
}

} // namespace vemk
