// Calling code the host gave the library (a completion, an observer, a
// callback object, a task) where the library's own threads run it: an
// exception it throws is logged at level 4 and goes no further, so it can
// neither end the process nor unwind through the library's state.
#pragma once

#include <exception>
#include <utility>

#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {

// Runs `code()`; `what` names it in the log line ("the region observer").
template <typename Code>
void CallHostCode(const char* what, Code&& code) noexcept {
  try {
    std::forward<Code>(code)();
  } catch (const std::exception& e) {
    QZ_LOG_AS("CallHostCode", 4, "%s threw: %s; ignored", what, ForLog(e.what()).c_str());
  } catch (...) {
    QZ_LOG_AS("CallHostCode", 4, "%s threw; ignored", what);
  }
}

}  // namespace iotcloud
