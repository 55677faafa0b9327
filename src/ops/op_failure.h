// Why an operator returned no result handle. The stage picks the export's
// message; the condition is the cause when the scan itself failed.
#pragma once

#include <cstdint>

#include "platform/error.h"

namespace quelta {

struct OpFailure {
  enum class Stage : uint8_t {
    None,
    Context,  // the result handle (or its fixed parts) could not be allocated
    Scan,     // reading or testing rows failed with condition
    Rows,     // the collected rows could not grow
  };
  Stage stage = Stage::None;
  Error condition = Error::None;

  bool failed() const { return stage != Stage::None; }
};

}  // namespace quelta
