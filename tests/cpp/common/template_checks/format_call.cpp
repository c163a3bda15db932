// One message template for the template checks, which compile this file once per case with
// the call in FORMAT_CALL.
#include <string>
#include <vector>

#include "common/format.hpp"

namespace vorlix {
std::string checked_call() { return FORMAT_CALL; }
}  // namespace vorlix
