// Checks that no test in this program leaves a descriptor open: the count of
// open descriptors is taken before each test and again after it. A test that
// ends with more open than it started with is reported, by name, as a
// failure of the run when the tests are done.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace lzring {
namespace {

std::vector<std::string>& Leaks() {
  static std::vector<std::string> leaks;
  return leaks;
}

class DescriptorCount : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { before_ = test::CountOpenFds(); }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    const int after = test::CountOpenFds();
    if (after > before_) {
      Leaks().push_back(std::string(info.test_suite_name()) + "." + info.name() + " left " +
                        std::to_string(after - before_) + " descriptor(s) open");
    }
  }

 private:
  int before_ = 0;
};

class DescriptorReport : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const std::string& leak : Leaks()) ADD_FAILURE() << leak;
  }
};

const bool registered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new DescriptorCount);
  ::testing::AddGlobalTestEnvironment(new DescriptorReport);
  return true;
}();

// The check itself: a descriptor opened and closed inside a test is no leak.
TEST(DescriptorHygieneTest, CheckIsInstalled) {
  EXPECT_TRUE(registered);
  test::TempDir dir;
  const std::string path = dir / "file";
  test::WriteFile(path, test::FromText("x"));
  EXPECT_EQ(test::ReadFile(path), test::FromText("x"));
}

}  // namespace
}  // namespace lzring
