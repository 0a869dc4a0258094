#include "common/SharedInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Counted {
  static inline std::atomic<int> made{0};
  Counted() { ++made; }
};

SharedInstance<Counted> counted;

TEST(SharedInstance, MadeOnceAcrossThreadsAndAgainAfterATestReset) {
  TEST_resetSharedInstances();
  Counted::made = 0;
  std::vector<std::thread> threads;
  std::vector<Counted*> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back(
        [&, i] { seen[i] = counted.get([] { return std::make_shared<Counted>(); }).get(); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Counted::made.load(), 1);
  for (Counted* p : seen) EXPECT_EQ(p, seen[0]);

  std::weak_ptr<Counted> old = counted.getIfCreated();
  TEST_resetSharedInstances();
  EXPECT_TRUE(old.expired());
  EXPECT_EQ(counted.getIfCreated(), nullptr);
  counted.get([] { return std::make_shared<Counted>(); });
  EXPECT_EQ(Counted::made.load(), 2);
}

TEST(SharedInstance, AFactoryThatAnswersNullIsNotAskedAgain) {
  static SharedInstance<Counted> none;
  int calls = 0;
  EXPECT_EQ(none.get([&] {
    ++calls;
    return std::shared_ptr<Counted>();
  }),
            nullptr);
  EXPECT_EQ(none.get([&] {
    ++calls;
    return std::shared_ptr<Counted>();
  }),
            nullptr);
  EXPECT_EQ(calls, 1);
}

SharedInstance<Counted> recursive;

TEST(SharedInstanceDeathTest, AskingForItselfWhileBeingBuiltIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(recursive.get([] {
    recursive.get([] { return std::make_shared<Counted>(); });
    return std::make_shared<Counted>();
  }),
               "asked for itself");
}

}  // namespace
