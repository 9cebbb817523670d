// The demo's committed sample files are exactly what their generator makes.
#include "helpers.h"

namespace corvane::testing {
namespace {

using Samples = Scratch;

TEST_F(Samples, CommittedSamplesMatchTheirGenerator) {
  ASSERT_EQ(RunProgram({CORVANE_SAMPLES, "write", "."}).status, 0);
  const std::vector<std::string> names = Listing();
  EXPECT_EQ(names.size(), 5u);
  for (const std::string& name : names) {
    EXPECT_EQ(Read(name), ReadFile(std::string(CORVANE_EXAMPLES_DIR) + "/" + name)) << name;
  }
}

}  // namespace
}  // namespace corvane::testing
