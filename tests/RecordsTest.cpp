#include <gtest/gtest.h>

#include "engine/Records.h"

namespace ravenox::engine {
namespace {

std::unique_ptr<TEmailItem> Mail(const std::string& text, double seen = 1) {
  auto m = std::make_unique<TEmailItem>();
  m->Text = text;
  m->FirstSeen = seen;
  return m;
}

std::vector<std::string> Keys(const TEmailList& list) {
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list[i].Text);
  return keys;
}

TEST(SortedList, KeepsKeyOrderAndOneRecordPerKey) {
  TEmailList list;
  for (const char* t : {"delta", "Alpha", "charlie", "BRAVO", "echo"})
    EXPECT_TRUE(list.Add(Mail(t)));
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"Alpha", "BRAVO", "charlie", "delta", "echo"}));
  // A key present in any letter case keeps the earlier record.
  EXPECT_FALSE(list.Add(Mail("bravo", 99)));
  EXPECT_EQ(list.Count(), 5);
  ASSERT_NE(list.Lookup("Bravo"), nullptr);
  EXPECT_EQ(list.Lookup("Bravo")->FirstSeen, TDateTime(1));
  EXPECT_EQ(list.Lookup("foxtrot"), nullptr);
  int index = -1;
  EXPECT_FALSE(list.Find("coffee", index));
  EXPECT_EQ(index, 3);  // where it would go: after "charlie"
}

TEST(SortedList, CutsKeysToTheStoredLengthAndDeletes) {
  TEmailList list;
  list.Add(Mail(std::string(300, 'k')));
  EXPECT_EQ(list[0].Text.size(), 255u);
  // Looking up the long text cut the same way finds it.
  EXPECT_NE(list.Lookup(RecordText(std::string(400, 'K'))), nullptr);
  list.Add(Mail("a"));
  list.Add(Mail("z"));
  for (int i = list.Count() - 1; i >= 0; --i) {
    if (list[i].Text != "a") list.Delete(i);
  }
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"a"}));
  // What was deleted is not found by its exact text either; what stays is.
  EXPECT_EQ(list.Lookup("z"), nullptr);
  EXPECT_EQ(list.Lookup("a"), &list[0]);
  list.Clear();
  EXPECT_EQ(list.Lookup("a"), nullptr);
}

}  // namespace
}  // namespace ravenox::engine
