#include "pipe_test_util.h"

namespace sdk::test {

std::uint32_t WriteToClosedReaderCode() { return kErrorBrokenPipe; }

}  // namespace sdk::test
