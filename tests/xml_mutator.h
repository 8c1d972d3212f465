// A deterministic mutator of XML documents for the fuzz tests: from one valid document it
// makes damaged variants by deleting, duplicating and swapping elements, renaming tags,
// corrupting numbers, enumeration names and bit texts, truncating the text and injecting
// junk bytes. The same seed gives the same sequence of documents.
//
// Numbers are replaced by malformed text, values out of their type's range, or small
// valid values; never by huge valid sizes, which would only measure how much memory a
// chromosome of two billion bits takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xmlfuzz {

class TXMLMutator {
 public:
  // Words are texts worth corrupting besides numbers (enumeration value names, tag names);
  // tag names found in the document are added to them.
  explicit TXMLMutator(std::uint64_t Seed, std::vector<std::string> Words = {})
      : FState(Seed), FWords(std::move(Words)) {}

  // One to three mutations of Valid.
  std::string Mutate(const std::string& Valid) {
    std::string text = Valid;
    const int count = 1 + static_cast<int>(Below(3));
    for (int i = 0; i < count && !text.empty(); ++i) MutateOnce(text);
    return text;
  }

  std::uint64_t Next() {
    // splitmix64: small, fast and well mixed; independent of the library's random source.
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // An integer in [0, N); 0 when N is 0.
  std::size_t Below(std::size_t N) { return N == 0 ? 0 : static_cast<std::size_t>(Next() % N); }

 private:
  struct TSpan {
    std::size_t Begin, End;  // the element's text, start tag to end tag
    std::size_t NameBegin, NameEnd;
  };

  // The element spans of Text (a document written by the library: no comments or CDATA
  // inside the elements that matter). Malformed text gives whatever spans close properly.
  static std::vector<TSpan> Elements(const std::string& Text) {
    std::vector<TSpan> spans;
    std::vector<TSpan> open;
    std::size_t i = 0;
    while ((i = Text.find('<', i)) != std::string::npos) {
      const std::size_t close = Text.find('>', i);
      if (close == std::string::npos) break;
      const char kind = i + 1 < Text.size() ? Text[i + 1] : '\0';
      if (kind == '?' || kind == '!') {
        i = close + 1;
        continue;
      }
      if (kind == '/') {
        if (!open.empty()) {
          TSpan span = open.back();
          open.pop_back();
          span.End = close + 1;
          spans.push_back(span);
        }
      } else {
        std::size_t nameEnd = i + 1;
        while (nameEnd < close && Text[nameEnd] != ' ' && Text[nameEnd] != '/' && Text[nameEnd] != '\t' &&
               Text[nameEnd] != '\n')
          ++nameEnd;
        TSpan span{i, close + 1, i + 1, nameEnd};
        if (Text[close - 1] == '/') spans.push_back(span);
        else open.push_back(span);
      }
      i = close + 1;
    }
    return spans;
  }

  // The spans of element text (between '>' and '<') that hold something.
  static std::vector<std::pair<std::size_t, std::size_t>> TextRuns(const std::string& Text) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = Text.find('>'); i != std::string::npos; i = Text.find('>', i + 1)) {
      const std::size_t end = Text.find('<', i + 1);
      if (end == std::string::npos) break;
      if (end > i + 1) runs.emplace_back(i + 1, end);
    }
    return runs;
  }

  std::string Pick(const std::vector<std::string>& Items) { return Items[Below(Items.size())]; }

  std::string CorruptNumber() {
    static const std::vector<std::string> kTexts{
        "",      "-1",  "0",          "abc",  "1e999",      "-1e999", "NaN",   "INF",       "99999999999",
        "1.5",   " 7 ", "0x1F",       "$FF",  "2147483648", "-0",     "3,5",   "1e-999",    "5000",
        "65",    "+2",  "1.17549e-38", "--3", "4294967296", "1E",     "0.98",  "-70000",    "&#48;"};
    return Pick(kTexts);
  }

  void MutateOnce(std::string& Text) {
    const std::vector<TSpan> spans = Elements(Text);
    switch (Below(10)) {
      case 0:  // delete an element
        if (!spans.empty()) {
          const TSpan s = spans[Below(spans.size())];
          Text.erase(s.Begin, s.End - s.Begin);
          return;
        }
        break;
      case 1:  // duplicate an element after itself
        if (!spans.empty()) {
          const TSpan s = spans[Below(spans.size())];
          Text.insert(s.End, Text.substr(s.Begin, s.End - s.Begin));
          return;
        }
        break;
      case 2: {  // swap two elements that do not contain each other
        if (spans.size() < 2) break;
        TSpan a = spans[Below(spans.size())];
        TSpan b = spans[Below(spans.size())];
        if (a.Begin > b.Begin) std::swap(a, b);
        if (a.End > b.Begin) break;  // nested or equal
        const std::string first = Text.substr(a.Begin, a.End - a.Begin);
        const std::string second = Text.substr(b.Begin, b.End - b.Begin);
        Text.replace(b.Begin, second.size(), first);
        Text.replace(a.Begin, first.size(), second);
        return;
      }
      case 3: {  // rename an element (start tag only, or both tags of a leaf)
        if (spans.empty()) break;
        const TSpan s = spans[Below(spans.size())];
        std::vector<std::string> names = FWords;
        for (const TSpan& t : spans) names.push_back(Text.substr(t.NameBegin, t.NameEnd - t.NameBegin));
        names.push_back("Unknown");
        const std::string oldName = Text.substr(s.NameBegin, s.NameEnd - s.NameBegin);
        const std::string newName = Pick(names);
        const std::string endTag = "</" + oldName + ">";
        if (s.End - s.Begin >= endTag.size() && Text.compare(s.End - endTag.size(), endTag.size(), endTag) == 0 &&
            Below(4) != 0)
          Text.replace(s.End - endTag.size() + 2, oldName.size(), newName);
        Text.replace(s.NameBegin, oldName.size(), newName);
        return;
      }
      case 4:
      case 5: {  // corrupt a text value: numbers, names, bits
        const auto runs = TextRuns(Text);
        if (runs.empty()) break;
        const auto [begin, end] = runs[Below(runs.size())];
        std::string value = Text.substr(begin, end - begin);
        if (!value.empty() && (value[0] == '0' || value[0] == '1') && value.size() > 8 && Below(2) == 0) {
          value[Below(value.size())] = "x2 "[Below(3)];  // a bit text with a stray character
        } else if (!FWords.empty() && Below(3) == 0) {
          value = Pick(FWords);
        } else if (Below(4) == 0) {
          for (char& c : value)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
          if (!value.empty()) value.pop_back();
        } else {
          value = CorruptNumber();
        }
        Text.replace(begin, end - begin, value);
        return;
      }
      case 6: {  // corrupt an attribute value
        const std::size_t quote = Text.find('"', Below(Text.size()));
        if (quote == std::string::npos) break;
        const std::size_t endQuote = Text.find('"', quote + 1);
        if (endQuote == std::string::npos) break;
        Text.replace(quote + 1, endQuote - quote - 1, CorruptNumber());
        return;
      }
      case 7:  // truncate
        Text.resize(Below(Text.size()));
        return;
      case 8: {  // inject junk bytes
        static const std::vector<std::string> kJunk{"<", ">", "&", "&bogus;", "\"", "\0", "\xFF\xFE", "\xC3",
                                                    "<!DOCTYPE x>", "]]>", "<a>", "</", "\x01\x02", "<?pi?>"};
        std::string junk = Pick(kJunk);
        if (junk.empty()) junk.push_back('\0');
        Text.insert(Below(Text.size() + 1), junk);
        return;
      }
      default: {  // random printable or arbitrary bytes
        const std::size_t count = 1 + Below(4);
        for (std::size_t i = 0; i < count && !Text.empty(); ++i)
          Text[Below(Text.size())] = static_cast<char>(Below(2) ? 32 + Below(95) : Below(256));
        return;
      }
    }
    // The chosen mutation did not apply: truncate instead, so every call changes something.
    Text.resize(Below(Text.size()));
  }

  std::uint64_t FState;
  std::vector<std::string> FWords;
};

}  // namespace xmlfuzz
