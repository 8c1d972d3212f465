// String lists: the abstract TStrings (indexed strings, each with an associated object
// pointer; text, comma text and stream conversions; update batching) and the concrete
// TStringList, which stores the lines and reports changes through OnChange.
// The associated objects are never owned: deleting a line or destroying a list leaves
// the objects alone.
// Thread safety: none; a list is used from one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <evokit/platform/object.h>
#include <evokit/platform/streams.h>

namespace evokit {

class TStrings : public TPersistent {
 public:
  std::string ClassName() const override { return "TStrings"; }

  // --- the storage every list implements -------------------------------------
  virtual int Count() const = 0;
  // The line at Index; EListError "List index out of bounds (<Index>)" outside 0..Count-1.
  virtual const std::string& Strings(int Index) const = 0;
  virtual void SetStrings(int Index, const std::string& S) = 0;
  // The object of the line at Index (not owned; may be null); same index check.
  virtual TObject* Objects(int Index) const = 0;
  virtual void SetObjects(int Index, TObject* Object) = 0;
  // Inserts a line before Index (Index == Count appends); EListError outside 0..Count.
  virtual void InsertObject(int Index, const std::string& S, TObject* Object) = 0;
  virtual void Delete(int Index) = 0;
  virtual void Clear() = 0;

  // --- built on the storage ----------------------------------------------------
  const std::string& operator[](int Index) const { return Strings(Index); }
  // Appends a line and returns its index.
  virtual int Add(const std::string& S) { return AddObject(S, nullptr); }
  virtual int AddObject(const std::string& S, TObject* Object);
  void Insert(int Index, const std::string& S) { InsertObject(Index, S, nullptr); }
  // Appends every line (and its object) of Source, in one update.
  void AddStrings(const TStrings& Source);
  // Swaps two lines with their objects; EListError when either index is out of range.
  virtual void Exchange(int Index1, int Index2);
  // Moves the line at CurIndex so that it ends up at NewIndex.
  virtual void Move(int CurIndex, int NewIndex);

  // First line equal to S ignoring ASCII case, or -1.
  virtual int IndexOf(std::string_view S) const;
  // First line whose object is Object, or -1.
  int IndexOfObject(const TObject* Object) const;
  // Same count and the same lines (case-sensitive); objects are not compared.
  bool Equals(const TStrings& Other) const;

  // Every line followed by "\n".
  std::string Text() const;
  // Replaces the lines by those of Text, split at "\n", "\r\n" and "\r"; a final line
  // break does not start another line. Objects are cleared.
  void SetText(std::string_view Text);
  // The lines separated by ','; a line that is empty, or holds a ',', a '"', a character
  // up to ' ' at either end or any control character, is written between '"' with inner
  // '"' doubled. SetCommaText reads that form back (blanks around unquoted items are
  // dropped); an empty text gives an empty list. Malformed quoting (text after a closing
  // quote, an unterminated quote) raises EConvertError and leaves the list unchanged.
  std::string CommaText() const;
  void SetCommaText(std::string_view Text);

  // Copies the lines and objects of another TStrings; anything else goes to
  // TPersistent::Assign (EConvertError "Cannot assign a <source> to a TStringList").
  void Assign(const TPersistent* Source) override;

  // Nested update brackets. While the update count is above zero, change notifications
  // are held back; see TStringList::OnChange. EndUpdate without BeginUpdate is ignored.
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }

  // Text form on streams and files: UTF-8 bytes, a leading UTF-8 byte-order mark is
  // skipped on loading. A failed load (missing file: EFOpenError) leaves the list
  // unchanged; SaveToFile replaces the file only once all lines are written (EFCreateError
  // on failure, the old file left as it was).
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream) const;
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName) const;

 protected:
  TStrings() = default;
  // Called with true when the outermost BeginUpdate starts and with false when the
  // outermost EndUpdate ends.
  virtual void SetUpdateState(bool Updating) { (void)Updating; }
  // Raises EListError "List index out of bounds (<Index>)".
  [[noreturn]] static void IndexError(int Index);
  // Replaces all lines in one step, used by SetText, SetCommaText and Assign; the base
  // clears and adds inside an update bracket.
  virtual void ReplaceAll(std::vector<std::string> Lines, std::vector<TObject*> Objects);

 private:
  int FUpdateCount = 0;
};

class TStringList : public TStrings {
 public:
  TStringList() = default;
  // Lists are not copied implicitly (the copy would share the change handler); use Assign.
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  std::string ClassName() const override { return "TStringList"; }

  int Count() const override { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int Index) const override;
  void SetStrings(int Index, const std::string& S) override;
  TObject* Objects(int Index) const override;
  void SetObjects(int Index, TObject* Object) override;
  void InsertObject(int Index, const std::string& S, TObject* Object) override;
  void Delete(int Index) override;
  void Clear() override;
  void Exchange(int Index1, int Index2) override;
  void Move(int CurIndex, int NewIndex) override;

  // Called with this list as Sender after every change of lines or objects; inside
  // BeginUpdate/EndUpdate, once at the outermost EndUpdate and only if something
  // changed. Operations that change nothing (Clear of an empty list) do not fire it.
  const TNotifyEvent& OnChange() const { return FOnChange; }
  void SetOnChange(TNotifyEvent Handler) { FOnChange = std::move(Handler); }

 protected:
  void SetUpdateState(bool Updating) override;
  void ReplaceAll(std::vector<std::string> Lines, std::vector<TObject*> Objects) override;
  // Fires OnChange now, or marks the change for the end of the current update.
  void Changed();

 private:
  struct TItem {
    std::string S;
    TObject* Object;
  };
  void CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count()) IndexError(Index);
  }

  std::vector<TItem> FItems;
  TNotifyEvent FOnChange;
  bool FChangedInUpdate = false;
};

}  // namespace evokit
