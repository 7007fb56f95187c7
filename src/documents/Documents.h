#pragma once
// The document: an ordered list of engine model files, one engine per model
// in a run, stored in an INI file with one section per model.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "documents/Dirties.h"

class TIniFile;

inline constexpr const char* DEFAULT_DOCUMENT_FILENAME = "Untitled.vmgr";
inline constexpr const char* DEFAULT_MODEL_FILENAME = "TestModel.vm";
inline constexpr const char* FILENAME_KEY = "Filename";
inline constexpr const char* MODEL_SECTION_PREFIX = "Model";
inline constexpr const char* MODEL_SECTION_FORMAT = "Model%d";

class TModel : public TDirty {
 public:
  // A new model is named DEFAULT_MODEL_FILENAME and is changed.
  TModel();

  const std::string& GetFilename() const { return FFilename; }
  // Marks the model changed when the name differs (case-sensitively).
  void SetFilename(const std::string& value);

  void LoadFromSection(const TIniFile& iniFile, const std::string& section);
  void SaveToSection(TIniFile& iniFile, const std::string& section) const;

 private:
  std::string FFilename;
};

class TDocument : public TDirty {
 public:
  // Two default models, named DEFAULT_DOCUMENT_FILENAME, unchanged.
  TDocument();
  ~TDocument() override;
  TDocument(const TDocument&) = delete;
  TDocument& operator=(const TDocument&) = delete;

  // Changed when the document itself or any of its models is.
  bool GetDirty() const override;
  // True marks only the document; false also cleans every model.
  void SetDirty(bool value) override;

  const std::string& GetFilename() const { return FFilename; }

  // The new model; the document owns it.
  TModel* AddModel();
  void DeleteLastModel();
  void ClearModels();

  int32_t FirstModelIndex() const { return 0; }
  int32_t LastModelIndex() const { return static_cast<int32_t>(ModelCount()) - 1; }
  uint32_t ModelCount() const { return static_cast<uint32_t>(FModels.size()); }
  // Raises "Assertion failure" for an index not below ModelCount.
  TModel* GetModel(uint32_t index) const;

  bool HasDefaultFilename() const;

  // Missing or unreadable files load as a document without models.
  void LoadFromFile(const std::string& filename);
  // Raises "Unable to write to %s" when the file system refuses a write;
  // the document then keeps its name and changed state.
  void SaveToFile(const std::string& filename);

 private:
  std::string FFilename;
  std::vector<std::unique_ptr<TModel>> FModels;
};
