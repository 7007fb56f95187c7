// Saving and loading large documents: a save of 5,000 models over the file
// that holds them, and the load of it, must grow linearly with the models
// (the figure beside 1,000 models, five times as many).
#include <unistd.h>

#include <filesystem>
#include <string>

#include "BenchTable.h"
#include "documents/Documents.h"

namespace fs = std::filesystem;

namespace {

fs::path Dir() { return fs::temp_directory_path() / ("velmar-bench-documents-" + std::to_string(getpid())); }

std::string DocumentOf(int64_t models) {
  const std::string file = (Dir() / ("doc" + std::to_string(models) + ".vmgr")).string();
  if (!fs::exists(file)) {
    TDocument doc;
    while (doc.ModelCount() < static_cast<uint64_t>(models)) doc.AddModel();
    for (uint32_t i = 0; i < doc.ModelCount(); ++i)
      doc.GetModel(i)->SetFilename("/home/ecologist/models/valley/run-" + std::to_string(i) + ".vm");
    doc.SaveToFile(file);
  }
  return file;
}

// A document loaded from its file, one model renamed, saved over the file.
void SaveModels(benchmark::State& state, int64_t models) {
  const std::string file = DocumentOf(models);
  TDocument doc;
  doc.LoadFromFile(file);
  int round = 0;
  for (auto _ : state) {
    doc.GetModel(0)->SetFilename("/home/ecologist/models/first-" + std::to_string(++round) + ".vm");
    doc.SaveToFile(file);
  }
}
void BM_Save1000(benchmark::State& state) { SaveModels(state, 1000); }
void BM_Save5000(benchmark::State& state) { SaveModels(state, 5000); }
BENCHMARK(BM_Save1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save5000)->Unit(benchmark::kMillisecond);

void LoadModels(benchmark::State& state, int64_t models) {
  const std::string file = DocumentOf(models);
  for (auto _ : state) {
    TDocument doc;
    doc.LoadFromFile(file);
    benchmark::DoNotOptimize(doc.ModelCount());
  }
}
void BM_Load1000(benchmark::State& state) { LoadModels(state, 1000); }
void BM_Load5000(benchmark::State& state) { LoadModels(state, 5000); }
BENCHMARK(BM_Load1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load5000)->Unit(benchmark::kMillisecond);

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  for (const char* what : {"Save", "Load"}) {
    const std::string name = std::string("BM_") + what;
    const auto small = c.Seconds(name + "1000"), large = c.Seconds(name + "5000");
    if (!small || !large) continue;
    const double ratio = *large / (5 * *small);
    AddRow(std::string(what == std::string("Save") ? "Saving" : "Loading") + " a document of 5,000 models" +
               (what == std::string("Save") ? " over its file" : ""),
           Time(*large), "≤ 1.5 × five times 1,000 models (" + Time(5 * *small) + ")", Fixed(ratio, 2),
           Verdict(ratio <= 1.5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  fs::create_directories(Dir());
  AddRows(BenchTable::RunAndCollect(argc, argv));
  std::error_code ec;
  fs::remove_all(Dir(), ec);
  return 0;
}
