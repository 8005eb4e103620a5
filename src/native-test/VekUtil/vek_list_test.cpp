// Tests of the ordered-set list and its iterator.

#include "vek_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

struct ListDeleter {
  void operator()(vek_list_t* list) const { vek_listDestroy(list); }
};
using ListPtr = std::unique_ptr<vek_list_t, ListDeleter>;

ListPtr makeList(size_t growby) { return ListPtr(vek_listCreate(growby)); }

// The elements in list order, for comparing whole contents at once.
std::vector<void*> contents(vek_list_t* list) {
  std::vector<void*> out;
  for (size_t i = 0; i < vek_listGetSize(list); ++i) out.push_back(vek_listGet(list, i));
  return out;
}

bool loggedError(const std::vector<vektest::LoggedEvent>& events, const std::string& text) {
  return vektest::RecordingLogger::contains(events, VEKLOG_ERROR, text);
}

// Misuse reports reach the recording logger only once logging is started.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { vek_lifecycleInit(); }
};
const auto* const library_environment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

int a, b, c, d;  // distinct element addresses

TEST(ListTest, AddingTheSamePointerTwiceKeepsOneElement) {
  auto list = makeList(3);
  ASSERT_TRUE(vek_listAdd(list.get(), &a));
  ASSERT_TRUE(vek_listAdd(list.get(), &b));
  ASSERT_TRUE(vek_listAdd(list.get(), &a));
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&a, &b}));
  EXPECT_EQ(vek_listFind(list.get(), &b), 1);
  EXPECT_EQ(vek_listFind(list.get(), &c), -1);
}

TEST(ListTest, StringCompareReplacesTheEqualTextInPlace) {
  auto list = makeList(1);
  vek_listSetCompare(list.get(), vek_listStringCompare);
  char first[] = "same";
  char second[] = "same";
  char other[] = "other";
  vek_listAdd(list.get(), first);
  vek_listAdd(list.get(), other);
  vek_listAdd(list.get(), second);
  ASSERT_EQ(vek_listGetSize(list.get()), 2u);
  EXPECT_EQ(vek_listGet(list.get(), 0), static_cast<void*>(second));
  EXPECT_EQ(vek_listGet(list.get(), 1), static_cast<void*>(other));
  // Insert of an equal text also replaces where it stands, ignoring the index.
  ASSERT_TRUE(vek_listInsert(list.get(), first, 2));
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{first, other}));
}

TEST(ListTest, InsertAtSizeAppendsAndPastSizeIsRefused) {
  vektest::RecordLogs logs;
  auto list = makeList(2);
  vek_listAdd(list.get(), &a);
  ASSERT_TRUE(vek_listInsert(list.get(), &b, 1));
  ASSERT_TRUE(vek_listInsert(list.get(), &c, 0));
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&c, &a, &b}));

  EXPECT_FALSE(vek_listInsert(list.get(), &d, 4));
  EXPECT_EQ(vek_listGetSize(list.get()), 3u);
  EXPECT_TRUE(loggedError(logs.take(), "Index to insert at (4) is past the end of the list (3). Item not inserted."));
}

TEST(ListTest, RemoveKeepsOrderAndClearsTheFreedSlot) {
  auto list = makeList(3);
  for (void* p : {&a, &b, &c, &d}) vek_listAdd(list.get(), p);
  ASSERT_TRUE(vek_listRemove(list.get(), &b));
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&a, &c, &d}));
  EXPECT_EQ(list->data[3], nullptr);

  ASSERT_TRUE(vek_listRemoveAt(list.get(), 2));
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&a, &c}));
  EXPECT_EQ(list->data[2], nullptr);

  EXPECT_FALSE(vek_listRemove(list.get(), &b));  // absent: false, no message needed
}

TEST(ListTest, GrowthKeepsANullSlotAfterTheLastElement) {
  auto list = makeList(2);
  static int values[5];
  for (int& v : values) {
    ASSERT_TRUE(vek_listAdd(list.get(), &v));
    ASSERT_GT(list->allocated, list->size);
    EXPECT_EQ(list->data[list->size], nullptr);
  }
  EXPECT_EQ(vek_listGetSize(list.get()), 5u);
}

TEST(ListTest, GetDataCopiesElementsFollowedByNull) {
  auto list = makeList(1);
  void** empty = vek_listGetData(list.get());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], nullptr);
  free(empty);

  vek_listAdd(list.get(), &a);
  vek_listAdd(list.get(), &b);
  void** data = vek_listGetData(list.get());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], &a);
  EXPECT_EQ(data[1], &b);
  EXPECT_EQ(data[2], nullptr);
  free(data);
}

TEST(ListTest, IteratorRemovalVisitsEveryElement) {
  // Removing each position in turn must still visit all three elements.
  for (size_t remove_at = 0; remove_at < 3; ++remove_at) {
    SCOPED_TRACE("removing element " + std::to_string(remove_at));
    auto list = makeList(1);
    std::vector<void*> all{&a, &b, &c};
    for (void* p : all) vek_listAdd(list.get(), p);

    vek_listitr_t* itr = vek_listItrCreate(list.get());
    ASSERT_NE(itr, nullptr);
    std::vector<void*> visited;
    while (vek_listItrHasNext(itr)) {
      visited.push_back(vek_listItrNext(itr));
      if (visited.size() == remove_at + 1) {
        EXPECT_EQ(vek_listItrRemove(itr), all[remove_at]);
      }
    }
    vek_listItrDestroy(itr);

    EXPECT_EQ(visited, all);
    std::vector<void*> left = all;
    left.erase(left.begin() + static_cast<std::ptrdiff_t>(remove_at));
    EXPECT_EQ(contents(list.get()), left);
  }
}

TEST(ListTest, SecondItrRemoveIsRefused) {
  vektest::RecordLogs logs;
  auto list = makeList(1);
  for (void* p : {&a, &b, &c}) vek_listAdd(list.get(), p);
  vek_listitr_t* itr = vek_listItrCreate(list.get());
  vek_listItrNext(itr);
  vek_listItrNext(itr);
  EXPECT_EQ(vek_listItrRemove(itr), &b);
  EXPECT_EQ(vek_listItrRemove(itr), nullptr);
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&a, &c}));
  EXPECT_TRUE(loggedError(logs.take(),
                          "vek_listItrRemove() can only be called once per vek_listItrNext(). "
                          "This is an internal programming error"));
  // Without a preceding next at all, the same refusal.
  vek_listitr_t* fresh = vek_listItrCreate(list.get());
  EXPECT_EQ(vek_listItrRemove(fresh), nullptr);
  EXPECT_EQ(vek_listGetSize(list.get()), 2u);
  vek_listItrDestroy(fresh);
  vek_listItrDestroy(itr);
}

TEST(ListTest, ItrNextPastTheEndGivesNullInsteadOfReadingBeyondTheSlots) {
  auto list = makeList(1);
  vek_listAdd(list.get(), &a);
  vek_listitr_t* itr = vek_listItrCreate(list.get());
  EXPECT_EQ(vek_listItrNext(itr), &a);
  EXPECT_FALSE(vek_listItrHasNext(itr));
  EXPECT_EQ(vek_listItrNext(itr), nullptr);
  vek_listItrDestroy(itr);
}

TEST(ListTest, CreateWithZeroIncrementWarnsAndGrowsOneSlotAtATime) {
  vektest::RecordLogs logs;
  auto list = makeList(0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->growby, 1u);
  EXPECT_TRUE(vektest::RecordingLogger::contains(
      logs.take(), VEKLOG_WARN, "Increment passed to vek_listCreate() is 0, the minimum value is 1. Restting it."));
  vek_listAdd(list.get(), &a);
  EXPECT_EQ(list->allocated, 1u);
  vek_listAdd(list.get(), &b);
  EXPECT_EQ(list->allocated, 2u);
}

TEST(ListTest, SortOrdersTextsWithoutChangingTheListComparison) {
  auto list = makeList(3);
  std::vector<std::string> words{"pear", "apple", "fig", "banana", "apple"};
  for (auto& w : words) vek_listAdd(list.get(), w.data());
  vek_listSort(list.get(), vek_listStringCompare);
  std::vector<std::string> sorted;
  for (void* p : contents(list.get())) sorted.emplace_back(static_cast<char*>(p));
  EXPECT_EQ(sorted, (std::vector<std::string>{"apple", "apple", "banana", "fig", "pear"}));
  // Identity comparison still in force: a new equal text is a new element.
  std::string another = "fig";
  vek_listAdd(list.get(), another.data());
  EXPECT_EQ(vek_listGetSize(list.get()), 6u);
}

TEST(ListTest, AddListAndDeleteAll) {
  auto list = makeList(1);
  auto extra = makeList(1);
  vek_listAdd(list.get(), strdup("x"));
  vek_listAdd(extra.get(), strdup("y"));
  vek_listAdd(extra.get(), strdup("z"));
  ASSERT_TRUE(vek_listAddList(list.get(), extra.get()));
  EXPECT_FALSE(vek_listAddList(list.get(), nullptr));
  ASSERT_EQ(vek_listGetSize(list.get()), 3u);
  EXPECT_STREQ(static_cast<char*>(vek_listGet(list.get(), 2)), "z");
  vek_listRemoveAll(extra.get());  // shared elements: freed once below
  vek_listDeleteAll(list.get());
  EXPECT_EQ(vek_listGetSize(list.get()), 0u);
  EXPECT_EQ(list->data, nullptr);
  // The emptied list is usable again.
  EXPECT_TRUE(vek_listAdd(list.get(), &a));
  EXPECT_EQ(vek_listGet(list.get(), 0), &a);
}

TEST(ListTest, MisuseIsReportedAndGivesNeutralResults) {
  vektest::RecordLogs logs;
  auto list = makeList(1);
  vek_listAdd(list.get(), &a);
  EXPECT_FALSE(vek_listAdd(nullptr, &a));
  EXPECT_EQ(vek_listGet(list.get(), 1), nullptr);
  EXPECT_EQ(vek_listGetSize(nullptr), 0u);
  EXPECT_EQ(vek_listFind(list.get(), nullptr), -1);
  EXPECT_FALSE(vek_listRemoveAt(list.get(), 1));
  EXPECT_FALSE(vek_listRemove(nullptr, &a));
  EXPECT_EQ(vek_listItrCreate(nullptr), nullptr);
  vek_listSort(list.get(), nullptr);
  EXPECT_EQ(contents(list.get()), (std::vector<void*>{&a}));

  auto events = logs.take();
  for (const char* text : {"NULL list passed to vek_listAdd(). This is an internal programming error",
                           "List index 1 is is past the end of the list. This is a programming error",
                           "NULL list passed to vek_listGetSize(). This is an internal programming error",
                           "NULL list or object passed to vek_listFind(). This is an internal programming error",
                           "Invalid location \"1\" passed to vek_listRemoveAt(). This is an internal programming error",
                           "NULL list or object passed to vek_listRemove(). This is an internal programming error",
                           "NULL list passed to vek_listItrCreate(). This is an internal programming error",
                           "NULL list or comparison passed to vek_listSort(). This is an internal programming error"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(loggedError(events, text));
  }
  // The reports name the list module (the separator follows the platform).
  for (auto e : events) {
    std::replace(e.short_filename.begin(), e.short_filename.end(), '\\', '/');
    EXPECT_EQ(e.short_filename, "VekUtil/src/vek_list");
  }
}

}  // namespace
