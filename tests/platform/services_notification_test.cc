#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform_test_support.h"

namespace {

TEST(NotificationCenterTest, DeliversInRegistrationOrderToMatchingNames) {
  NotificationCenter center;
  std::vector<std::string> calls;
  int owner = 0;
  center.addObserver(&owner, "A", nullptr, [&](const Notification&) { calls.push_back("a1"); });
  center.addObserver(&owner, "", nullptr,
                     [&](const Notification& n) { calls.push_back("any:" + n.name); });
  center.addObserver(&owner, "B", nullptr, [&](const Notification&) { calls.push_back("b"); });
  center.addObserver(&owner, "A", nullptr, [&](const Notification&) { calls.push_back("a2"); });

  center.post("A");
  center.post("B");
  center.post("C");

  EXPECT_EQ(calls, (std::vector<std::string>{"a1", "any:A", "a2", "any:B", "b", "any:C"}));
}

TEST(NotificationCenterTest, FiltersByPostingObjectIdentityAndPassesUserInfo) {
  NotificationCenter center;
  int first = 0;
  int second = 0;
  std::vector<std::string> calls;
  Notification seen;
  center.addObserver(nullptr, "N", &first, [&](const Notification& n) {
    calls.push_back("first");
    seen = n;
  });
  center.addObserver(nullptr, "N", nullptr, [&](const Notification&) { calls.push_back("any"); });

  center.post("N", &second);
  const Object info = Object::dictionary({{Object("url"), Object("app://x")}});
  center.post("N", &first, info);
  center.post("N");

  EXPECT_EQ(calls, (std::vector<std::string>{"any", "first", "any", "any"}));
  EXPECT_EQ(seen.name, "N");
  EXPECT_EQ(seen.object, &first);
  EXPECT_EQ(seen.userInfo, info);
}

TEST(NotificationCenterTest, ObserversMayRemoveAddAndPostWhilePosting) {
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::Token self = 0, removed = 0;
  self = center.addObserver(nullptr, "N", nullptr, [&](const Notification&) {
    calls.push_back("once");
    center.removeObserver(self);
    center.removeObserver(removed);
    center.addObserver(nullptr, "N", nullptr,
                       [&](const Notification&) { calls.push_back("added"); });
    center.post("inner");
  });
  removed = center.addObserver(nullptr, "N", nullptr,
                               [&](const Notification&) { calls.push_back("removed"); });
  center.addObserver(nullptr, "N", nullptr, [&](const Notification&) { calls.push_back("stay"); });
  center.addObserver(nullptr, "inner", nullptr,
                     [&](const Notification&) { calls.push_back("inner"); });

  // Removed observers are not called in the post that removed them, nor
  // added ones; an observer may post again without deadlock.
  center.post("N");
  center.post("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"once", "inner", "stay", "stay", "added"}));
  EXPECT_EQ(center.observerCount(), 3u);
}

TEST(NotificationCenterTest, RemovesByOwnerAndByOwnerAndName) {
  NotificationCenter center;
  int a = 0;
  int b = 0;
  int calls = 0;
  auto count = [&](const Notification&) { ++calls; };
  center.addObserver(&a, "X", nullptr, count);
  center.addObserver(&a, "Y", nullptr, count);
  center.addObserver(&b, "X", nullptr, count);
  EXPECT_EQ(center.observerCount(&a), 2u);

  center.removeObserver(&a, "X");
  EXPECT_EQ(center.observerCount(&a), 1u);
  center.post("X");
  EXPECT_EQ(calls, 1);  // only b

  center.removeObserver(&a);
  center.removeObserver(nullptr);  // names nobody
  EXPECT_EQ(center.observerCount(&a), 0u);
  EXPECT_EQ(center.observerCount(), 1u);
  center.post("Y");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, QueuedDeliveryRunsOnTheQueueAndHonoursRemoval) {
  DeterministicServices services;
  auto queue = services.dispatch.createSerialQueue("observer.queue");
  NotificationCenter& center = services.center;
  std::vector<std::string> labels;
  NotificationCenter::Token token = center.addObserver(
      nullptr, "N", nullptr, [&](const Notification&) { labels.push_back(currentQueueLabel()); },
      queue);

  center.post("N");
  EXPECT_TRUE(labels.empty());  // not on the posting thread
  services.executor->runUntilIdle();
  EXPECT_EQ(labels, (std::vector<std::string>{"observer.queue"}));

  // Removed after posting but before the queue ran: not called.
  center.post("N");
  center.removeObserver(token);
  services.executor->runUntilIdle();
  EXPECT_EQ(labels.size(), 1u);
}

}  // namespace
