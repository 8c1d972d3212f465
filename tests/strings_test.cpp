#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

using namespace evokit;

// Each edit with the lines after it (as comma text) and the number of OnChange calls it
// makes: one per change, none for no change, one per outermost update with changes.
TEST(TStringList, EditsKeepLinesAndObjectsTogetherAndNotifyOnce) {
  TStringList list, other;
  TPersistent a, b;
  int changes = 0;
  list.SetOnChange([&](TObject* Sender) { changes += Sender == &list ? 1 : 100; });
  other.SetText("p\nq");
  other.SetObjects(1, &a);
  const struct { std::function<void()> Edit; const char* Lines; int Changes; } steps[] = {
      {[&] { EXPECT_EQ(list.Add("one"), 0); }, "one", 1}, {[&] { list.AddObject("two", &a); }, "one,two", 1},
      {[&] { list.Insert(0, "zero"); }, "zero,one,two", 1},
      {[&] { list.InsertObject(3, "three", &b); }, "zero,one,two,three", 1},
      {[&] { list.SetObjects(1, &b); }, "zero,one,two,three", 1},
      {[&] { list.SetStrings(1, "uno"); }, "zero,uno,two,three", 1}, {[&] { list.Delete(0); }, "uno,two,three", 1},
      {[&] { list.Exchange(0, 1); }, "two,uno,three", 1}, {[&] { list.Exchange(1, 1); }, "two,uno,three", 0},
      {[&] { list.Move(0, 2); }, "uno,three,two", 1}, {[&] { list.Move(2, 0); }, "two,uno,three", 1},
      {[&] { list.AddStrings(list); }, "two,uno,three,two,uno,three", 1},  // doubles
      {[&] { list.Clear(); }, "", 1}, {[&] { list.Clear(); }, "", 0}, {[&] { list.SetText("x\ny"); }, "x,y", 1},
      {[&] { list.BeginUpdate(); list.Add("a"); list.BeginUpdate(); list.Add("b"); list.EndUpdate(); }, "x,y,a,b", 0},
      {[&] { list.EndUpdate(); }, "x,y,a,b", 1},
      {[&] { list.BeginUpdate(); list.EndUpdate(); list.EndUpdate(); }, "x,y,a,b", 0},  // a stray EndUpdate
      {[&] { list.Assign(&other); }, "p,q", 1}, {[&] { list.AddStrings(other); }, "p,q,p,q", 1}};
  for (const auto& step : steps) {
    const int before = changes;
    step.Edit();
    EXPECT_EQ(list.CommaText(), step.Lines);
    EXPECT_EQ(changes - before, step.Changes) << step.Lines;
    const int two = list.IndexOf("two"), uno = list.IndexOf("uno");  // each line keeps its object
    EXPECT_TRUE((two < 0 || list.Objects(two) == &a) && (uno < 0 || list.Objects(uno) == &b)) << step.Lines;
  }
  EXPECT_EQ(list.IndexOfObject(&a), 1);
  list.Add("P");  // IndexOf ignores ASCII case and finds the first match
  EXPECT_EQ((std::vector<int>{list.IndexOf("P"), list.IndexOf("p "), list.IndexOf("")}), (std::vector<int>{0, -1, -1}));
  EXPECT_THROW(list.Assign(&a), EConvertError);
}

TEST(TStringList, BadIndexRaisesListErrorAndChangesNothing) {
  TStringList list;
  list.SetText("a\nb\n");
  const std::pair<std::function<void()>, int> calls[] = {
      {[&] { (void)list[2]; }, 2}, {[&] { list.SetStrings(5, "x"); }, 5}, {[&] { (void)list.Objects(2); }, 2},
      {[&] { list.SetObjects(-3, nullptr); }, -3}, {[&] { list.Insert(3, "x"); }, 3}, {[&] { list.Delete(2); }, 2},
      {[&] { list.Exchange(-1, 0); }, -1}, {[&] { list.Move(0, 2); }, 2}};
  for (const auto& [call, index] : calls) {
    EXPECT_EQ(test::ErrorOf<EListError>(call), "List index out of bounds (" + std::to_string(index) + ")");
    EXPECT_EQ(list.Text(), "a\nb\n");
  }
}

// SetText splits at any line break; comma text quotes what needs it and reads it back.
TEST(TStringList, TextAndCommaText) {
  TStringList list, back;
  for (const auto& [text, comma, lines] :
       {std::tuple{"x\r\ny\rz\nw", false, "x\ny\nz\nw\n"}, {"one\n", false, "one\n"}, {"\r\n\r", false, "\n\n"},
        {" x , y ,z", true, "x\ny\nz\n"}, {"a,,", true, "a\n\n\n"}, {"\"q\" , r", true, "q\nr\n"}, {"  ", true, ""}}) {
    comma ? list.SetCommaText(text) : list.SetText(text);
    EXPECT_EQ(list.Text(), lines) << text;
  }
  for (const char* s : {"plain", "", "with space", " lead", "trail\x01", "a,b", "say \"hi\"", "tab\tin", "del\x7F"})
    list.Add(s);
  EXPECT_EQ(list.CommaText(),
            "plain,\"\",with space,\" lead\",\"trail\x01\",\"a,b\",\"say \"\"hi\"\"\",\"tab\tin\",\"del\x7F\"");
  back.SetCommaText(list.CommaText());
  EXPECT_TRUE(back.Equals(list));
  for (const char* bad : {"\"open", "\"a\"b", "x,\"y\"z"}) {
    EXPECT_THROW(back.SetCommaText(bad), EConvertError) << bad;
    EXPECT_TRUE(back.Equals(list));
  }
}

TEST(TStringList, StreamsAndFiles) {
  TStringList list, loaded;
  list.SetText("first\nsecond");
  TStringStream withBom("\xEF\xBB\xBFone\r\ntwo"), copy;
  loaded.LoadFromStream(withBom);
  EXPECT_EQ(loaded.Text(), "one\ntwo\n");
  EXPECT_EQ(copy.CopyFrom(withBom, 0), 11);  // count 0 copies the whole source from its start
  EXPECT_EQ(copy.DataString(), withBom.DataString());
  EXPECT_THROW(copy.CopyFrom(withBom, 1), EStreamError);  // nothing left to read
  EXPECT_THROW(copy.Seek(-1, soBeginning), EStreamError);
  const std::string path = test::TempPath("strings.txt");
  list.SaveToFile(path);
  {
    TFileStream file(path, fmOpenReadWrite);
    EXPECT_EQ(file.ReadAll(), "first\nsecond\n");
    file.SetSize(6);  // the position follows a shrinking size
    EXPECT_EQ(file.Position(), 6);
  }
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.Text(), "first\n");
  std::remove(path.c_str());
  EXPECT_THROW(loaded.LoadFromFile(path), EFOpenError);
  EXPECT_EQ(loaded.Text(), "first\n");  // a failed load changes nothing
}
