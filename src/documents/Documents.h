#pragma once
// The document: an ordered list of engine model files, one engine per model
// in a run, stored in an INI file with one section per model.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/Exception.h"
#include "documents/Dirties.h"

class TIniFile;

inline constexpr const char* DEFAULT_DOCUMENT_FILENAME = "Untitled.vmgr";
inline constexpr const char* DEFAULT_MODEL_FILENAME = "TestModel.vm";
inline constexpr const char* FILENAME_KEY = "Filename";
inline constexpr const char* MODEL_SECTION_PREFIX = "Model";
inline constexpr const char* MODEL_SECTION_FORMAT = "Model%d";

// A file that is not a document (not text, no model among its sections, a
// FIFO, too large), or a save that would overwrite what was not read.
VELMAR_DECLARE_EXCEPTION(EDocumentError, Exception, "EDocumentError");

class TModel : public TDirty {
 public:
  // A new model is named DEFAULT_MODEL_FILENAME and is changed.
  TModel();

  const std::string& GetFilename() const { return FFilename; }
  // Marks the model changed when the name differs (case-sensitively).
  void SetFilename(const std::string& value);

  // The name read was cut (the file holds a longer one): it names another
  // file than the one meant. Until the name is changed, a save writes the
  // file's whole name back, not the cut one.
  bool GetFilenameCut() const { return !FUncutFilename.empty(); }
  size_t GetUncutLength() const { return FUncutFilename.size(); }

  void LoadFromSection(const TIniFile& iniFile, const std::string& section);
  void SaveToSection(TIniFile& iniFile, const std::string& section) const;

 private:
  std::string FFilename;
  std::string FUncutFilename;
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

  // Missing or unreadable files load as a document without models. A file
  // that is no document raises EDocumentError and leaves the document as
  // it was: anything but a regular file, one over PROFILE_MAX_FILE_SIZE,
  // bytes that are not text, or sections none of which is a model.
  void LoadFromFile(const std::string& filename);
  // Raises "Unable to write to %s" when the file system refuses a write;
  // the document then keeps its name and changed state. Model sections of
  // the file that loading did not take (see GetUnreadSections) stay as they
  // are; a save into that file that would overwrite or erase one of them
  // raises EDocumentError instead, and the file stays as it was.
  void SaveToFile(const std::string& filename);

  // The model sections of the file loaded that hold keys but were not
  // taken as models, as "[Name]" in file order: after a gap ([Model0],
  // [Model2]), not starting at [Model0], not in the number's plain form
  // ([Model00]), or a second copy of a section.
  std::vector<std::string> GetUnreadSections() const;
  // The warning for them; empty when there are none.
  std::string UnreadSectionsWarning() const;
  // The error for the first model whose name was cut on reading; empty
  // when there is none.
  std::string CutFilenameError() const;

 private:
  struct TUnreadSection {
    std::string Name;
    int64_t Index = -1;  // its model number, -1 when not in plain form
    bool CopyOfModel = false;  // a second copy of a section taken as a model
  };
  bool IsLoadedFile(const std::string& filename) const;

  std::string FFilename;
  std::vector<std::unique_ptr<TModel>> FModels;
  std::string FLoadedFrom;
  std::vector<TUnreadSection> FUnread;
};
