#include "documents/Documents.h"

#include <climits>

#include "diagnostics/Exception.h"
#include "diagnostics/Format.h"
#include "documents/IniFiles.h"

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

}  // namespace

// ---- TModel ------------------------------------------------------------------

TModel::TModel() { SetFilename(DEFAULT_MODEL_FILENAME); }

void TModel::SetFilename(const std::string& value) {
  if (value == FFilename) return;
  FFilename = value;
  SetDirty(true);
}

void TModel::LoadFromSection(const TIniFile& iniFile, const std::string& section) {
  SetFilename(iniFile.ReadString(section, FILENAME_KEY, ""));
}

void TModel::SaveToSection(TIniFile& iniFile, const std::string& section) const {
  iniFile.WriteString(section, FILENAME_KEY, FFilename);
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
  ClearModels();
  const TIniFile iniFile(filename);
  for (int32_t i = 0; i < INT32_MAX; ++i) {
    const std::string section = ModelSectionName(i);
    // A section without keys ends the list just as a missing one does.
    if (!iniFile.SectionExists(section)) break;
    AddModel()->LoadFromSection(iniFile, section);
  }
  SetDirty(false);
  FFilename = filename;
}

void TDocument::SaveToFile(const std::string& filename) {
  TIniFile iniFile(filename);
  // One write for the whole document: a save that the disk refuses half-way
  // (full, gone read-only) must not leave the old models erased.
  iniFile.BeginUpdate();
  // Sections of models that no longer exist go, and with them anything else
  // whose name starts the same way.
  for (const std::string& section : iniFile.ReadSections())
    if (StartsWithNoCase(section, MODEL_SECTION_PREFIX)) iniFile.EraseSection(section);
  for (int32_t i = FirstModelIndex(); i <= LastModelIndex(); ++i)
    GetModel(static_cast<uint32_t>(i))->SaveToSection(iniFile, ModelSectionName(i));
  iniFile.EndUpdate();
  SetDirty(false);
  FFilename = filename;
}
