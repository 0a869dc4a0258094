// HRNMutableDictionary: snapshots, number keys and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "utilities/HRNMutableDictionary.h"

namespace {

TEST(HRNMutableDictionary, SnapshotsDoNotFollowLaterChangesAndNumberKeysMatchAcrossKinds) {
  HRNMutableDictionary dictionary(ObjectDictionary{{Object("k"), Object("v")}});
  dictionary.setObject(Object("one"), Object::boolean(true));
  EXPECT_EQ(dictionary.objectForKey(Object::integer(1)), Object("one"));
  const ObjectDictionary snapshot = dictionary.dictionary();
  dictionary.removeObjectForKey(Object("k"));
  dictionary.removeObjectForKey(Object("absent"));
  EXPECT_EQ(dictionary.count(), 1u);
  EXPECT_EQ(snapshot.size(), 2u);
  EXPECT_FALSE(dictionary.objectForKey(Object("k")).has_value());
  dictionary.removeAllObjects();
  EXPECT_TRUE(dictionary.dictionary().empty());
}

TEST(HRNMutableDictionary, NoWriteIsLostAcrossThreads) {
  constexpr int kWriters = 6;
  constexpr int kKeysPerWriter = 500;
  HRNMutableDictionary dictionary;
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    std::size_t last = 0;
    while (writing.load()) {
      const std::size_t size = dictionary.dictionary().size();
      EXPECT_GE(size, last);  // nothing ever disappears
      last = size;
      (void)dictionary.objectForKey(Object::integer(0));
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&dictionary, w] {
      for (int i = 0; i < kKeysPerWriter; ++i) {
        const std::int64_t key = w * kKeysPerWriter + i;
        dictionary.setObject(Object("k" + std::to_string(key)), Object::integer(key));
        // Keys every writer sets keep one entry each.
        dictionary.setObject(Object::integer(w), Object("shared" + std::to_string(i % 3)));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  reader.join();

  const ObjectDictionary contents = dictionary.dictionary();
  ASSERT_EQ(dictionary.count(), static_cast<std::size_t>(kWriters * kKeysPerWriter + 3));
  for (std::int64_t key = 0; key < kWriters * kKeysPerWriter; ++key) {
    auto it = contents.find(Object::integer(key));
    ASSERT_NE(it, contents.end()) << key;
    EXPECT_EQ(it->second, Object("k" + std::to_string(key)));
  }
}

}  // namespace
