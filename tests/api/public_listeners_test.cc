// Log-event listeners: held until start, notified in token order, and
// safe to change from inside a notification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "engine/TLMEvent.h"
#include "public_test_support.h"

namespace {

class PublicListenersTest : public PublicTest {
 protected:
  void SetUp() override { TLMAnalytics::unsuspendOperationQueue(); }

  std::shared_ptr<TLMEvent> event(const std::string& name) {
    std::shared_ptr<TLMEvent> made =
        TLMEvent::initWithOrigin("app", true, name, 1767225600.0, 0, ObjectDictionary());
    EXPECT_NE(made, nullptr);
    return made;
  }

  // Records "<listener>:<event name>".
  QLFLogEventListener recorder(const std::string& listener) {
    return [this, listener](const std::shared_ptr<TLMEvent>& event) {
      heard_.push_back(listener + ":" + event->name());
    };
  }

  std::vector<std::string> heard_;
};

TEST_F(PublicListenersTest, ListenersHearEveryEventInTheOrderTheyWereAdded) {
  const std::optional<QLFLogEventListenerToken> first =
      TLMAnalytics::addLogEventListener(recorder("a"));
  const std::optional<QLFLogEventListenerToken> second =
      TLMAnalytics::addLogEventListener(recorder("b"));
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(*first, *second);
  TLMAnalytics::notifyEventListeners(event("level_up"));
  TLMAnalytics::notifyEventListeners(event("tutorial_begin"));
  run();
  EXPECT_EQ(heard_, (std::vector<std::string>{"a:level_up", "b:level_up", "a:tutorial_begin",
                                              "b:tutorial_begin"}));
  EXPECT_TRUE(monitor_.reports().empty());
}

TEST_F(PublicListenersTest, RemovingTwiceLogs25015TheSecondTime) {
  const std::optional<QLFLogEventListenerToken> token =
      TLMAnalytics::addLogEventListener(recorder("a"));
  TLMAnalytics::removeLogEventListener(token);
  run();
  EXPECT_EQ(monitor_.count(25015), 0u);
  TLMAnalytics::removeLogEventListener(token);
  run();
  expectOneReport({25015, 2, "Attempted removal of log event listener with invalid token."});

  TLMAnalytics::notifyEventListeners(event("level_up"));
  run();
  EXPECT_TRUE(heard_.empty());
}

TEST_F(PublicListenersTest, RefusalsAreReportedWithTheirOwnCodes) {
  EXPECT_FALSE(TLMAnalytics::addLogEventListener(QLFLogEventListener()).has_value());
  expectOneReport({25012, 2, "Attempted addition of nil log event listener."});

  TLMAnalytics::removeLogEventListener(std::nullopt);
  expectOneReport({25013, 2, "Attempted removal of nil log event."});

  // No listener was ever added: there is no table to remove from.
  TLMAnalytics::removeLogEventListener(QLFLogEventListenerToken{12345});
  run();
  expectOneReport({25014, 2, "Attempted removal of nil log event listener."});
  EXPECT_EQ(monitor_.count(25015), 0u);
}

TEST_F(PublicListenersTest, ListenerAddingAndRemovingListenersWhileNotifiedDoesNoHarm) {
  std::optional<QLFLogEventListenerToken> selfToken;
  std::optional<QLFLogEventListenerToken> victimToken;
  int added = 0;
  // Adds one listener the first time it hears an event, and removes itself.
  selfToken = TLMAnalytics::addLogEventListener([&](const std::shared_ptr<TLMEvent>& event) {
    heard_.push_back("self:" + event->name());
    if (added++ == 0) TLMAnalytics::addLogEventListener(recorder("late"));
    TLMAnalytics::removeLogEventListener(selfToken);
    TLMAnalytics::removeLogEventListener(victimToken);
  });
  victimToken = TLMAnalytics::addLogEventListener(recorder("victim"));
  run();

  TLMAnalytics::notifyEventListeners(event("level_up"));
  run();
  TLMAnalytics::notifyEventListeners(event("tutorial_begin"));
  run();
  // The first notification reaches those present when it began; the
  // removals made during it take effect after it, the addition at once
  // but not for the event already being delivered.
  EXPECT_EQ(heard_,
            (std::vector<std::string>{"self:level_up", "victim:level_up", "late:tutorial_begin"}));
  EXPECT_EQ(monitor_.count(25015), 0u);
}

class PublicListenersBeforeStartTest : public PublicTest {};

TEST_F(PublicListenersBeforeStartTest, ChangesWaitForStartAndKeepCallOrder) {
  // Before start the operation queue holds the addition, the notification
  // and the removal, and runs them in that order once resumed.
  std::vector<std::string> heard;
  const std::optional<QLFLogEventListenerToken> token = TLMAnalytics::addLogEventListener(
      [&](const std::shared_ptr<TLMEvent>& event) { heard.push_back(event->name()); });
  TLMAnalytics::notifyEventListeners(
      TLMEvent::initWithOrigin("app", true, "level_up", 1767225600.0, 0, ObjectDictionary()));
  TLMAnalytics::removeLogEventListener(token);
  run();
  EXPECT_TRUE(heard.empty());
  EXPECT_TRUE(monitor_.reports().empty());

  TLMAnalytics::unsuspendOperationQueue();
  run();
  EXPECT_EQ(heard, std::vector<std::string>{"level_up"});
  EXPECT_EQ(monitor_.count(25015), 0u);
}

}  // namespace
