// A deterministic mutator of XML documents for the fuzz tests: from one valid document it
// makes damaged variants by deleting, duplicating and renaming elements, replacing text
// and attribute values (malformed or out-of-range numbers, names, bit texts), truncating
// the text and injecting junk bytes. The same seed gives the same sequence of documents.
// Values are never huge valid sizes, which would only measure how much memory a
// chromosome of two billion bits takes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xmlfuzz {

class TXMLMutator {
 public:
  // Words are texts worth putting in place of values and tag names.
  TXMLMutator(std::uint64_t Seed, std::vector<std::string> Words) : FState(Seed), FWords(std::move(Words)) {
    for (const char* value : {"", "-1", "0", "abc", "1e999", "NaN", "INF", "99999999999", "1.5", " 7 ", "0x1F", "3,5",
                              "2147483648", "1E", "5000", "-70000", "&#48;", "10x1", "TRUE", "<", "&", "\xC3", "</"})
      FValues.push_back(value);
    FValues.push_back(std::string(1, '\0'));
  }

  // One to three mutations of Text.
  std::string Mutate(std::string Text) {
    for (std::size_t i = 0, count = 1 + Below(3); i < count && !Text.empty(); ++i) MutateOnce(Text);
    return Text;
  }

 private:
  // splitmix64: small and well mixed, independent of the library's random source.
  std::size_t Below(std::size_t N) {
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return N == 0 ? 0 : static_cast<std::size_t>((z ^ (z >> 31)) % N);
  }
  const std::string& Pick(const std::vector<std::string>& Items) { return Items[Below(Items.size())]; }

  void MutateOnce(std::string& Text) {
    constexpr auto npos = std::string::npos;
    // A random element: its start tag Text[open..close], name and end.
    const std::size_t open = Text.rfind('<', Below(Text.size())), close = Text.find('>', open);
    const std::size_t nameEnd = open == npos ? npos : Text.find_first_of(" />", open + 1);
    const bool element = close != npos && nameEnd <= close && std::string("/?!").find(Text[open + 1]) == npos;
    const std::string name = element ? Text.substr(open + 1, nameEnd - open - 1) : "";
    const std::size_t end = element && Text[close - 1] != '/' ? Text.find("</" + name + ">", close) : npos;
    const std::size_t after = !element ? npos : Text[close - 1] == '/' ? close + 1 : end == npos ? npos : end + name.size() + 3;
    const std::size_t next = close == npos ? npos : Text.find('<', close);
    const std::size_t quote = Text.find('"', Below(Text.size())), endQuote = Text.find('"', quote + (quote != npos));
    switch (Below(6)) {
      case 0:  // delete or duplicate the element
        if (after == npos) break;
        if (Below(2)) Text.erase(open, after - open);
        else Text.insert(after, Text.substr(open, after - open));
        return;
      case 1:  // rename the start tag, or both tags
        if (!element) break;
        if (end != npos && Below(4) != 0) Text.replace(end + 2, name.size(), Pick(FWords));
        Text.replace(open + 1, name.size(), Pick(FWords));
        return;
      case 2:  // replace the text after a tag, up to the next tag
        if (next == npos) break;
        Text.replace(close + 1, next - close - 1, Below(3) ? Pick(FValues) : Pick(FWords));
        return;
      case 3:  // replace an attribute value
        if (endQuote == npos || quote == npos) break;
        Text.replace(quote + 1, endQuote - quote - 1, Pick(FValues));
        return;
      case 4:  // inject junk, or overwrite a byte with an arbitrary one
        if (Below(2)) Text.insert(Below(Text.size() + 1), Pick(FValues));
        else Text[Below(Text.size())] = static_cast<char>(Below(256));
        return;
      default: break;
    }
    Text.resize(Below(Text.size()));  // truncate: also when the chosen mutation did not apply
  }

  std::uint64_t FState;
  std::vector<std::string> FWords, FValues;
};

}  // namespace xmlfuzz
