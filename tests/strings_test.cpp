#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace evokit;

namespace {

std::vector<std::string> Lines(const TStrings& List) {
  std::vector<std::string> out;
  for (int i = 0; i < List.Count(); ++i) out.push_back(List[i]);
  return out;
}

// A list that counts its OnChange calls.
struct CountingList : ::testing::Test {
  TStringList List;
  int Changes = 0;
  TObject* LastSender = nullptr;
  void SetUp() override {
    List.SetOnChange([this](TObject* Sender) {
      ++Changes;
      LastSender = Sender;
    });
  }
};

class TTag : public TPersistent {
 public:
  std::string ClassName() const override { return "TTag"; }
};

}  // namespace

TEST(TStringList, AddInsertDeleteAndObjects) {
  TStringList list;
  TTag a, b;
  EXPECT_EQ(list.Add("one"), 0);
  EXPECT_EQ(list.AddObject("two", &a), 1);
  list.Insert(0, "zero");
  list.InsertObject(3, "three", &b);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"zero", "one", "two", "three"}));
  EXPECT_EQ(list.Objects(2), &a);
  EXPECT_EQ(list.Objects(0), nullptr);
  EXPECT_EQ(list.IndexOfObject(&b), 3);
  EXPECT_EQ(list.IndexOfObject(nullptr), 0);
  list.SetStrings(1, "uno");
  list.SetObjects(1, &b);
  EXPECT_EQ(list.Strings(1), "uno");
  EXPECT_EQ(list.IndexOfObject(&b), 1);
  list.Delete(0);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"uno", "two", "three"}));
  list.Exchange(0, 2);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"three", "two", "uno"}));
  EXPECT_EQ(list.Objects(2), &b);
  list.Move(0, 2);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"two", "uno", "three"}));
  list.Move(2, 0);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"three", "two", "uno"}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.ClassName(), "TStringList");
}

TEST(TStringList, IndexOfIgnoresAsciiCase) {
  TStringList list;
  list.Add("Red");
  list.Add("GREEN");
  list.Add("green");
  EXPECT_EQ(list.IndexOf("red"), 0);
  EXPECT_EQ(list.IndexOf("Green"), 1);  // the first match
  EXPECT_EQ(list.IndexOf("blue"), -1);
  EXPECT_EQ(list.IndexOf("Re"), -1);
  EXPECT_EQ(list.IndexOf(""), -1);
}

TEST(TStringList, BadIndexRaisesListErrorAndChangesNothing) {
  TStringList list;
  list.Add("a");
  list.Add("b");
  const auto expectError = [&](auto call, int index) {
    try {
      call();
      FAIL() << "no exception for index " << index;
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(index) + ")");
    }
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"a", "b"}));
  };
  expectError([&] { (void)list.Strings(2); }, 2);
  expectError([&] { (void)list[-1]; }, -1);
  expectError([&] { list.SetStrings(5, "x"); }, 5);
  expectError([&] { (void)list.Objects(2); }, 2);
  expectError([&] { list.SetObjects(-3, nullptr); }, -3);
  expectError([&] { list.Insert(3, "x"); }, 3);
  expectError([&] { list.Delete(2); }, 2);
  expectError([&] { list.Exchange(0, 2); }, 2);
  expectError([&] { list.Move(-1, 0); }, -1);
}

TEST(TStringList, TextLineEndings) {
  TStringList list;
  EXPECT_EQ(list.Text(), "");
  list.Add("a");
  list.Add("");
  list.Add("c");
  EXPECT_EQ(list.Text(), "a\n\nc\n");
  list.SetText("x\r\ny\rz\nw");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"x", "y", "z", "w"}));
  list.SetText("one\n");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"one"}));
  list.SetText("\n\r\n");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"", ""}));
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  // Text and SetText are inverse for any lines without line breaks.
  std::mt19937 gen(3);
  for (int round = 0; round < 50; ++round) {
    TStringList source, copy;
    const int n = static_cast<int>(gen() % 6);
    for (int i = 0; i < n; ++i) source.Add(std::string(gen() % 4, static_cast<char>('a' + gen() % 3)));
    copy.SetText(source.Text());
    ASSERT_TRUE(copy.Equals(source)) << source.Text();
  }
}

TEST(TStringList, CommaTextRoundTrip) {
  TStringList list;
  for (const char* s : {"plain", "", "with space", " lead", "a,b", "say \"hi\"", "tab\tin"}) list.Add(s);
  const std::string text = list.CommaText();
  EXPECT_EQ(text, "plain,\"\",with space,\" lead\",\"a,b\",\"say \"\"hi\"\"\",\"tab\tin\"");
  TStringList back;
  back.SetCommaText(text);
  EXPECT_TRUE(back.Equals(list));
  back.SetCommaText(" x , y ,z");
  EXPECT_EQ(Lines(back), (std::vector<std::string>{"x", "y", "z"}));
  back.SetCommaText("a,,");
  EXPECT_EQ(Lines(back), (std::vector<std::string>{"a", "", ""}));
  back.SetCommaText("");
  EXPECT_EQ(back.Count(), 0);
  back.Add("kept");
  EXPECT_THROW(back.SetCommaText("\"open"), EConvertError);
  EXPECT_THROW(back.SetCommaText("\"a\"b"), EConvertError);
  EXPECT_EQ(Lines(back), (std::vector<std::string>{"kept"}));
}

TEST(TStringList, AssignCopiesStringsAndObjects) {
  TTag tag;
  TStringList source, target;
  source.AddObject("a", &tag);
  source.Add("b");
  target.Add("old");
  target.Assign(&source);
  EXPECT_EQ(Lines(target), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(target.Objects(0), &tag);
  target.Assign(&target);
  EXPECT_EQ(target.Count(), 2);
  // Adding a list to itself doubles it.
  target.AddStrings(target);
  EXPECT_EQ(Lines(target), (std::vector<std::string>{"a", "b", "a", "b"}));
  try {
    target.Assign(&tag);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TTag to a TStringList");
  }
  EXPECT_EQ(target.Count(), 4);
}

TEST_F(CountingList, OnChangeFiresAfterEveryChange) {
  List.Add("a");
  List.Insert(0, "b");
  List.SetStrings(0, "c");
  List.Delete(1);
  EXPECT_EQ(Changes, 4);
  EXPECT_EQ(LastSender, &List);
  List.Clear();
  List.Clear();  // already empty: no change
  EXPECT_EQ(Changes, 5);
  List.SetText("x\ny\nz");  // one replacement, one notification
  EXPECT_EQ(Changes, 6);
  EXPECT_THROW(List.Delete(7), EListError);
  EXPECT_EQ(Changes, 6);
}

TEST_F(CountingList, UpdateBracketsBatchNotifications) {
  List.BeginUpdate();
  List.Add("a");
  List.BeginUpdate();
  List.Add("b");
  List.EndUpdate();
  EXPECT_EQ(Changes, 0);  // inner EndUpdate does not fire
  List.Add("c");
  List.EndUpdate();
  EXPECT_EQ(Changes, 1);
  EXPECT_EQ(List.UpdateCount(), 0);
  // An update in which nothing changed does not fire.
  List.BeginUpdate();
  (void)List.IndexOf("a");
  List.EndUpdate();
  EXPECT_EQ(Changes, 1);
  // A stray EndUpdate is ignored, and notifications resume normally.
  List.EndUpdate();
  List.Add("d");
  EXPECT_EQ(Changes, 2);
  // Assign and AddStrings notify once.
  TStringList other;
  other.SetText("1\n2\n3\n");
  List.Assign(&other);
  EXPECT_EQ(Changes, 3);
  List.AddStrings(other);
  EXPECT_EQ(Changes, 4);
  EXPECT_EQ(List.Count(), 6);
}

TEST(TStringList, StreamsAndFiles) {
  TStringList list;
  list.Add("first");
  list.Add("second");
  TStringStream stream;
  list.SaveToStream(stream);
  EXPECT_EQ(stream.DataString(), "first\nsecond\n");

  TStringStream withBom("\xEF\xBB\xBFone\r\ntwo");
  TStringList loaded;
  loaded.LoadFromStream(withBom);
  EXPECT_EQ(Lines(loaded), (std::vector<std::string>{"one", "two"}));

  const std::string path =
      (std::filesystem::temp_directory_path() / ("evokit_strings_" + std::to_string(::getpid()) + ".txt")).string();
  list.SaveToFile(path);
  TStringList fromFile;
  fromFile.LoadFromFile(path);
  EXPECT_TRUE(fromFile.Equals(list));
  std::remove(path.c_str());
  EXPECT_THROW(fromFile.LoadFromFile(path), EFOpenError);
  EXPECT_TRUE(fromFile.Equals(list));  // a failed load changes nothing
}
