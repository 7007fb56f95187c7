#include "documents/Documents.h"

#include <cerrno>
#include <climits>
#include <unordered_set>

#include "diagnostics/Exception.h"
#include "diagnostics/Format.h"
#include "documents/IniFiles.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"

namespace {

std::string ModelSectionName(int32_t index) { return FormatV(MODEL_SECTION_FORMAT, index); }

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return text;
}

// Whether section is a model section: "Model" (any letter case) and a
// number. index gets the number when it is in plain form (no leading
// zeros, within 32 bits), else -1.
bool IsModelSection(const std::string& section, int64_t& index) {
  const std::string_view prefix = MODEL_SECTION_PREFIX;
  index = -1;
  if (!StartsWithNoCase(section, prefix) || section.size() == prefix.size()) return false;
  const std::string_view digits = std::string_view(section).substr(prefix.size());
  for (const char c : digits)
    if (c < '0' || c > '9') return false;
  if ((digits.size() > 1 && digits.front() == '0') || digits.size() > 10) return true;
  const int64_t value = std::stoll(std::string(digits));
  if (value <= INT32_MAX) index = value;
  return true;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

// ---- TModel ------------------------------------------------------------------

TModel::TModel() { SetFilename(DEFAULT_MODEL_FILENAME); }

void TModel::SetFilename(const std::string& value) {
  if (value == FFilename) return;
  FFilename = value;
  FUncutFilename.clear();
  SetDirty(true);
}

void TModel::LoadFromSection(const TIniFile& iniFile, const std::string& section) {
  SetFilename(iniFile.ReadString(section, FILENAME_KEY, ""));
  const std::optional<std::string> whole = iniFile.ReadUncutString(section, FILENAME_KEY);
  if (whole && *whole != FFilename) FUncutFilename = *whole;
}

void TModel::SaveToSection(TIniFile& iniFile, const std::string& section) const {
  iniFile.WriteString(section, FILENAME_KEY, GetFilenameCut() ? FUncutFilename : FFilename);
}

// ---- TDocument ---------------------------------------------------------------

TDocument::TDocument() : FFilename(DEFAULT_DOCUMENT_FILENAME) {
  AddModel();
  AddModel();
  SetDirty(false);
}

TDocument::~TDocument() { ClearModels(); }

bool TDocument::GetDirty() const {
  if (FDirty) return true;
  for (const auto& model : FModels)
    if (model->GetDirty()) return true;
  return false;
}

void TDocument::SetDirty(bool value) {
  FDirty = value;
  if (!value)
    for (const auto& model : FModels) model->SetDirty(false);
}

TModel* TDocument::AddModel() {
  FModels.push_back(std::make_unique<TModel>());
  return FModels.back().get();
}

void TDocument::DeleteLastModel() {
  Assert(!FModels.empty());
  FModels.pop_back();
}

void TDocument::ClearModels() { FModels.clear(); }

TModel* TDocument::GetModel(uint32_t index) const {
  Assert(index < ModelCount());
  return FModels[index].get();
}

bool TDocument::HasDefaultFilename() const {
  const std::string_view def = DEFAULT_DOCUMENT_FILENAME;
  return FFilename.size() == def.size() && StartsWithNoCase(FFilename, def);
}

void TDocument::LoadFromFile(const std::string& filename) {
  const Platform::TProfileFileCheck check = Platform::CheckProfileFile(filename);
  if (check.Error == Platform::NOT_REGULAR_FILE_ERROR)
    throw EDocumentError(FormatV("\"%s\" is not a regular file (a FIFO, a device or a folder); it is not opened",
                                 filename));
  if (check.Error == EFBIG)
    throw EDocumentError(FormatV("\"%s\" is too large for a document (%s bytes; at most %s)", filename,
                                 std::to_string(check.Size), std::to_string(Platform::PROFILE_MAX_FILE_SIZE)));
  if (check.Error == 0 && !check.Text)
    throw EDocumentError(FormatV("\"%s\" is not a Velmar Manager document: it holds bytes that are not text", filename));

  const TIniFile iniFile(filename);
  const std::vector<Platform::TProfileSectionHeader> headers = Platform::GetPrivateProfileSectionHeaders(filename);
  bool anyModel = headers.empty();
  for (const Platform::TProfileSectionHeader& header : headers) {
    int64_t index;
    anyModel = anyModel || IsModelSection(header.Name, index);
  }
  if (!anyModel)
    throw EDocumentError(FormatV(
        "\"%s\" is not a Velmar Manager document: none of its sections is a model ([Model0], [Model1], ...)", filename));

  ClearModels();
  for (int32_t i = 0; i < INT32_MAX; ++i) {
    const std::string section = ModelSectionName(i);
    // A section without keys ends the list just as a missing one does.
    if (!iniFile.SectionExists(section)) break;
    AddModel()->LoadFromSection(iniFile, section);
  }
  // What the list did not take: model sections after a gap, in another
  // form of their number, or second copies. Only sections with keys count;
  // an empty one holds nothing a save could lose.
  FUnread.clear();
  std::unordered_set<std::string> seen;
  for (const Platform::TProfileSectionHeader& header : headers) {
    int64_t index;
    if (!IsModelSection(header.Name, index)) continue;
    const bool first = seen.insert(Lower(header.Name)).second;
    const bool taken = first && index >= 0 && index < static_cast<int64_t>(ModelCount());
    if (header.KeyCount == 0 || taken) continue;
    FUnread.push_back({header.Name, index, !first && index >= 0 && index < static_cast<int64_t>(ModelCount())});
  }
  FLoadedFrom = filename;
  SetDirty(false);
  FFilename = filename;
}

std::vector<std::string> TDocument::GetUnreadSections() const {
  std::vector<std::string> names;
  for (const TUnreadSection& section : FUnread) names.push_back("[" + section.Name + "]");
  return names;
}

std::string TDocument::UnreadSectionsWarning() const {
  if (FUnread.empty()) return {};
  return FormatV("\"%s\" holds model sections that were not read: %s (the models are [Model0], [Model1], ... without "
                 "a gap); they are kept as they are when the document is saved",
                 FLoadedFrom, Joined(GetUnreadSections()));
}

std::string TDocument::CutFilenameError() const {
  for (uint32_t i = 0; i < ModelCount(); ++i) {
    const TModel& model = *FModels[i];
    if (!model.GetFilenameCut()) continue;
    return FormatV("Model %s: its file name in \"%s\" is %s characters long; only %s are read, which would name "
                   "another file",
                   std::to_string(i + 1), FLoadedFrom, std::to_string(model.GetUncutLength()),
                   std::to_string(Platform::PROFILE_MAX_VALUE_LENGTH));
  }
  return {};
}

bool TDocument::IsLoadedFile(const std::string& filename) const {
  if (FLoadedFrom.empty()) return false;
  if (filename == FLoadedFrom) return true;
  const std::string real = Platform::RealPath(filename);
  return !real.empty() && real == Platform::RealPath(FLoadedFrom);
}

void TDocument::SaveToFile(const std::string& filename) {
  // Into the file it came from, the sections loading did not take stay as
  // they are; a save that would write over one (or erase it) is refused.
  std::unordered_set<std::string> keep;
  const bool intoLoadedFile = IsLoadedFile(filename);
  if (intoLoadedFile) {
    std::vector<std::string> clashes;
    for (const TUnreadSection& section : FUnread) {
      keep.insert(Lower(section.Name));
      if (section.CopyOfModel || (section.Index >= 0 && section.Index < static_cast<int64_t>(ModelCount())))
        clashes.push_back("[" + section.Name + "]");
    }
    if (!clashes.empty())
      throw EDocumentError(FormatV("\"%s\" holds model sections that were not read (%s); saving the document into it "
                                   "would overwrite them. Use Save As to save it to another file",
                                   filename, Joined(clashes)));
  }
  TIniFile iniFile(filename);
  // One write for the whole document: a save that the disk refuses half-way
  // (full, gone read-only) must not leave the old models erased.
  iniFile.BeginUpdate();
  // Sections of models that no longer exist go, and with them anything else
  // whose name starts the same way.
  for (const std::string& section : iniFile.ReadSections())
    if (StartsWithNoCase(section, MODEL_SECTION_PREFIX) && !keep.contains(Lower(section)))
      iniFile.EraseSection(section);
  for (int32_t i = FirstModelIndex(); i <= LastModelIndex(); ++i)
    GetModel(static_cast<uint32_t>(i))->SaveToSection(iniFile, ModelSectionName(i));
  iniFile.EndUpdate();
  if (!intoLoadedFile) {
    // Another file: what was not read stays in the file it came from.
    FUnread.clear();
    FLoadedFrom = filename;
  }
  SetDirty(false);
  FFilename = filename;
}
