// Checks that no test in this program leaves a descriptor open: the count of
// open descriptors is taken before each test and again after it. A test that
// ends with more open than it started with is reported, by name, as a
// failure of the run when the tests are done. Where /proc is missing the
// count probes every descriptor number instead, so the check still counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace lzring {
namespace {

std::vector<std::string>& Leaks() {
  static std::vector<std::string> leaks;
  return leaks;
}

// The test the listener last saw start.
std::string& Started() {
  static std::string name;
  return name;
}

class DescriptorCount : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& info) override {
    Started() = std::string(info.test_suite_name()) + "." + info.name();
    before_ = test::CountOpenFds();
  }
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

// The check itself: the listener saw this test start, and the count it
// takes follows a descriptor opened and closed, with or without /proc.
TEST(DescriptorHygieneTest, CountsEveryTestsDescriptors) {
  const ::testing::TestInfo* me = ::testing::UnitTest::GetInstance()->current_test_info();
  EXPECT_EQ(Started(), std::string(me->test_suite_name()) + "." + me->name());
  const int before = test::CountOpenFds();
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(test::CountOpenFds(), before + 1);
  ::close(fd);
  EXPECT_EQ(test::CountOpenFds(), before);
}

}  // namespace
}  // namespace lzring
