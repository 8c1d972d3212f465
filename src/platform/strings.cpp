#include <evokit/platform/strings.h>

#include <algorithm>
#include <utility>

#include <evokit/platform/convert.h>
#include <evokit/platform/guards.h>

namespace evokit {

namespace {

bool NeedsQuotes(const std::string& S) {
  if (S.empty()) return true;
  if (static_cast<unsigned char>(S.front()) <= ' ' || static_cast<unsigned char>(S.back()) <= ' ') return true;
  for (const char c : S) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ',' || c == '"' || u < ' ' || u == 0x7F) return true;
  }
  return false;
}

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

[[noreturn]] void CommaTextError(std::string_view Text) {
  throw EConvertError("Invalid comma text: " + std::string(Text));
}

}  // namespace

// --- TStrings ----------------------------------------------------------------------

void TStrings::IndexError(int Index) {
  throw EListError("List index out of bounds (" + IntToStr(Index) + ")");
}

int TStrings::AddObject(const std::string& S, TObject* Object) {
  const int index = Count();
  InsertObject(index, S, Object);
  return index;
}

void TStrings::AddStrings(const TStrings& Source) {
  if (&Source == this) {
    // Adding a list to itself doubles it; take a snapshot first.
    std::vector<std::pair<std::string, TObject*>> lines;
    for (int i = 0; i < Source.Count(); ++i) lines.emplace_back(Source.Strings(i), Source.Objects(i));
    const auto update = UpdateGuard(*this);
    for (auto& [s, o] : lines) AddObject(s, o);
    return;
  }
  const auto update = UpdateGuard(*this);
  for (int i = 0; i < Source.Count(); ++i) AddObject(Source.Strings(i), Source.Objects(i));
}

void TStrings::Exchange(int Index1, int Index2) {
  if (Index1 < 0 || Index1 >= Count()) IndexError(Index1);
  if (Index2 < 0 || Index2 >= Count()) IndexError(Index2);
  if (Index1 == Index2) return;
  const auto update = UpdateGuard(*this);
  const std::string s1 = Strings(Index1);
  TObject* o1 = Objects(Index1);
  SetStrings(Index1, Strings(Index2));
  SetObjects(Index1, Objects(Index2));
  SetStrings(Index2, s1);
  SetObjects(Index2, o1);
}

void TStrings::Move(int CurIndex, int NewIndex) {
  if (CurIndex < 0 || CurIndex >= Count()) IndexError(CurIndex);
  if (NewIndex < 0 || NewIndex >= Count()) IndexError(NewIndex);
  if (CurIndex == NewIndex) return;
  const auto update = UpdateGuard(*this);
  const std::string s = Strings(CurIndex);
  TObject* o = Objects(CurIndex);
  Delete(CurIndex);
  InsertObject(NewIndex, s, o);
}

int TStrings::IndexOf(std::string_view S) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (SameText(Strings(i), S)) return i;
  return -1;
}

int TStrings::IndexOfObject(const TObject* Object) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (Objects(i) == Object) return i;
  return -1;
}

bool TStrings::Equals(const TStrings& Other) const {
  if (Count() != Other.Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (Strings(i) != Other.Strings(i)) return false;
  return true;
}

std::string TStrings::Text() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    out += Strings(i);
    out += '\n';
  }
  return out;
}

void TStrings::SetText(std::string_view Text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\n' && c != '\r') continue;
    lines.emplace_back(Text.substr(start, i - start));
    if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < Text.size()) lines.emplace_back(Text.substr(start));
  ReplaceAll(std::move(lines), {});
}

std::string TStrings::CommaText() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) out += ',';
    const std::string& s = Strings(i);
    if (!NeedsQuotes(s)) {
      out += s;
      continue;
    }
    out += '"';
    for (const char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

void TStrings::SetCommaText(std::string_view Text) {
  std::vector<std::string> items;
  std::size_t i = 0;
  const std::size_t n = Text.size();
  while (i < n && IsBlank(Text[i])) ++i;
  if (i < n) {
    for (;;) {
      while (i < n && IsBlank(Text[i])) ++i;
      std::string item;
      if (i < n && Text[i] == '"') {
        ++i;
        bool closed = false;
        while (i < n) {
          if (Text[i] == '"') {
            if (i + 1 < n && Text[i + 1] == '"') {
              item += '"';
              i += 2;
              continue;
            }
            ++i;
            closed = true;
            break;
          }
          item += Text[i++];
        }
        if (!closed) CommaTextError(Text);
        while (i < n && IsBlank(Text[i])) ++i;
        if (i < n && Text[i] != ',') CommaTextError(Text);
      } else {
        const std::size_t start = i;
        while (i < n && Text[i] != ',') ++i;
        std::size_t end = i;
        while (end > start && IsBlank(Text[end - 1])) --end;
        item.assign(Text.substr(start, end - start));
      }
      items.push_back(std::move(item));
      if (i >= n) break;
      ++i;  // the ','
    }
  }
  ReplaceAll(std::move(items), {});
}

void TStrings::Assign(const TPersistent* Source) {
  if (Source == this) return;
  if (const auto* source = dynamic_cast<const TStrings*>(Source)) {
    std::vector<std::string> lines;
    std::vector<TObject*> objects;
    lines.reserve(static_cast<std::size_t>(source->Count()));
    objects.reserve(static_cast<std::size_t>(source->Count()));
    for (int i = 0; i < source->Count(); ++i) {
      lines.push_back(source->Strings(i));
      objects.push_back(source->Objects(i));
    }
    ReplaceAll(std::move(lines), std::move(objects));
    return;
  }
  TPersistent::Assign(Source);
}

void TStrings::ReplaceAll(std::vector<std::string> Lines, std::vector<TObject*> Objects) {
  const auto update = UpdateGuard(*this);
  Clear();
  for (std::size_t i = 0; i < Lines.size(); ++i) AddObject(Lines[i], i < Objects.size() ? Objects[i] : nullptr);
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::LoadFromStream(TStream& Stream) {
  std::string data = Stream.ReadAll();
  std::string_view text(data);
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.remove_prefix(3);
  SetText(text);
}

void TStrings::SaveToStream(TStream& Stream) const { Stream.WriteString(Text()); }

void TStrings::LoadFromFile(const std::string& FileName) {
  TFileStream stream(FileName, fmOpenRead);
  LoadFromStream(stream);
}

void TStrings::SaveToFile(const std::string& FileName) const {
  SaveFileSafely(FileName, [this](TStream& Stream) { SaveToStream(Stream); });
}

// --- TStringList ---------------------------------------------------------------------

const std::string& TStringList::Strings(int Index) const {
  CheckIndex(Index);
  return FItems[static_cast<std::size_t>(Index)].S;
}

void TStringList::SetStrings(int Index, const std::string& S) {
  CheckIndex(Index);
  FItems[static_cast<std::size_t>(Index)].S = S;
  Changed();
}

TObject* TStringList::Objects(int Index) const {
  CheckIndex(Index);
  return FItems[static_cast<std::size_t>(Index)].Object;
}

void TStringList::SetObjects(int Index, TObject* Object) {
  CheckIndex(Index);
  FItems[static_cast<std::size_t>(Index)].Object = Object;
  Changed();
}

void TStringList::InsertObject(int Index, const std::string& S, TObject* Object) {
  if (Index < 0 || Index > Count()) IndexError(Index);
  FItems.insert(FItems.begin() + Index, TItem{S, Object});
  Changed();
}

void TStringList::Delete(int Index) {
  CheckIndex(Index);
  FItems.erase(FItems.begin() + Index);
  Changed();
}

void TStringList::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

void TStringList::Exchange(int Index1, int Index2) {
  CheckIndex(Index1);
  CheckIndex(Index2);
  if (Index1 == Index2) return;
  std::swap(FItems[static_cast<std::size_t>(Index1)], FItems[static_cast<std::size_t>(Index2)]);
  Changed();
}

void TStringList::Move(int CurIndex, int NewIndex) {
  CheckIndex(CurIndex);
  CheckIndex(NewIndex);
  if (CurIndex == NewIndex) return;
  const auto cur = FItems.begin() + CurIndex;
  const auto dest = FItems.begin() + NewIndex;
  if (CurIndex < NewIndex) {
    std::rotate(cur, cur + 1, dest + 1);
  } else {
    std::rotate(dest, cur, cur + 1);
  }
  Changed();
}

void TStringList::ReplaceAll(std::vector<std::string> Lines, std::vector<TObject*> Objects) {
  std::vector<TItem> items;
  items.reserve(Lines.size());
  for (std::size_t i = 0; i < Lines.size(); ++i)
    items.push_back(TItem{std::move(Lines[i]), i < Objects.size() ? Objects[i] : nullptr});
  if (items.empty() && FItems.empty()) return;
  FItems.swap(items);
  Changed();
}

void TStringList::SetUpdateState(bool Updating) {
  if (Updating) {
    FChangedInUpdate = false;
    return;
  }
  if (FChangedInUpdate) {
    FChangedInUpdate = false;
    if (FOnChange) FOnChange(this);
  }
}

void TStringList::Changed() {
  if (UpdateCount() > 0) {
    FChangedInUpdate = true;
    return;
  }
  if (FOnChange) FOnChange(this);
}

}  // namespace evokit
