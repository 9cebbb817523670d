// The documents against what they describe: the package line a new user
// types must be the one `make test` installs, or the two drift apart (the
// README once lacked qemu-user, which make test then demanded).
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

std::string Source(const std::string& name) {
  std::ifstream in(std::string(CORVANE_SOURCE_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The packages tests/install-deps.sh installs for `make test`.
std::string TestPackages() {
  const std::string script = Source("tests/install-deps.sh");
  std::smatch base;
  std::smatch test;
  EXPECT_TRUE(std::regex_search(script, base, std::regex(R"(want=\(([^)]*)\))")));
  EXPECT_TRUE(std::regex_search(script, test, std::regex(R"(\n  test\) want\+=\(([^)]*)\))")));
  return base[1].str() + " " + test[1].str();
}

TEST(Documents, ThePackageLineIsTheOneMakeTestInstalls) {
  const std::string line = "apt-get install " + TestPackages() + "\n";
  for (const char* document : {"README.md", "docs/hacking.md"}) {
    const std::string text = Source(document);
    ASSERT_FALSE(text.empty()) << document;
    EXPECT_NE(text.find(line), std::string::npos) << document << " lacks: " << line;
  }
}

}  // namespace
}  // namespace corvane::testing
