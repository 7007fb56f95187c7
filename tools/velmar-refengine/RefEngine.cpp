#include "RefEngine.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

namespace RefEngine {
namespace {

using nlohmann::json;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

uint64_t ParseUnsigned(const std::string& text, uint64_t max, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    throw EModelError(what + ": \"" + text + "\" is not a whole number");
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v > max) throw EModelError(what + ": " + text + " is too large");
  return v;
}

double ParseReal(const std::string& text, const std::string& what) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || !std::isfinite(v)) throw EModelError(what + ": \"" + text + "\" is not a number");
  return v;
}

bool ParseBool(const std::string& text, const std::string& what) {
  const std::string t = Lower(text);
  if (t == "1" || t == "true" || t == "yes") return true;
  if (t == "0" || t == "false" || t == "no") return false;
  throw EModelError(what + ": \"" + text + "\" is not true or false");
}

// "/NAME" or "/NAME=value" with NAME a plain word; anything else starting
// with '/' is a path ("/models/north.vm").
bool IsSlashOption(const std::string& a) {
  if (a.size() < 2 || a[0] != '/' || !std::isalpha(static_cast<unsigned char>(a[1]))) return false;
  const size_t end = std::min(a.find('='), a.size());
  for (size_t i = 1; i < end; ++i)
    if (!std::isalnum(static_cast<unsigned char>(a[i])) && a[i] != '_') return false;
  return true;
}

// A count from JSON: a whole number from 0 to 2^32 - 1.
bool AsCount(const json& v, uint32_t& n) {
  if (!v.is_number_integer()) return false;
  if (v.is_number_unsigned()) {
    if (v.get<uint64_t>() > UINT32_MAX) return false;
  } else if (v.get<int64_t>() < 0 || v.get<int64_t>() > INT64_C(4294967295)) {
    return false;
  }
  n = static_cast<uint32_t>(v.get<uint64_t>());
  return true;
}

uint32_t ClampCount(double v) {
  if (!(v > 0.0)) return 0;
  return v >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(v);
}

}  // namespace

TOptions ParseArguments(const std::vector<std::string>& args) {
  TOptions o;
  bool haveModel = false;
  for (const auto& a : args) {
    if (IsSlashOption(a)) {
      const size_t eq = a.find('=');
      const std::string name = Lower(a.substr(1, eq == std::string::npos ? std::string::npos : eq - 1));
      const std::string value = eq == std::string::npos ? std::string() : a.substr(eq + 1);
      if (name == "run")
        o.Run = Lower(value) == "yes";
      else if (name == "rpc")
        o.PipeName = value;
      else if (name == "rpcid")
        o.ClientId = static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX, "/RPCID"));
      else if (name == "rpcresponsetimeout")
        o.ResponseTimeout = static_cast<uint32_t>(ParseUnsigned(value, 86400, "/RpcResponseTimeout"));
      // Anything else is an option of a real engine that we do not have.
    } else if (!a.empty() && a[0] == '-') {
      // Likewise (-q and friends).
    } else {
      if (haveModel) throw EModelError("more than one model file given: \"" + o.ModelPath + "\" and \"" + a + "\"");
      o.ModelPath = a;
      haveModel = true;
    }
  }
  if (!haveModel || o.ModelPath.empty()) throw EModelError("no model file given");
  return o;
}

TModel ParseModel(const std::string& text) {
  TModel m;
  bool haveYears = false;
  TPopulation* pop = nullptr;
  std::istringstream in(text);
  std::string raw;
  for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
    const std::string where = "line " + std::to_string(lineNo);
    std::string line = raw;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') throw EModelError(where + ": unclosed section");
      const std::string inside = Trim(line.substr(1, line.size() - 2));
      if (Lower(inside.substr(0, 10)) != "population" || (inside.size() > 10 && inside[10] != ' '))
        throw EModelError(where + ": unknown section [" + inside + "]");
      const std::string name = Trim(inside.substr(std::min<size_t>(10, inside.size())));
      if (name.empty() || name.find(',') != std::string::npos || name.find('"') != std::string::npos)
        throw EModelError(where + ": a population needs a name without commas or quotes");
      for (const auto& p : m.Populations)
        if (p.Name == name) throw EModelError(where + ": population \"" + name + "\" given twice");
      m.Populations.push_back(TPopulation{name, 0, 0, 0.0, 0.0});
      pop = &m.Populations.back();
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) throw EModelError(where + ": expected name = value");
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    const std::string what = where + " (" + key + ")";
    if (!pop) {
      if (key == "years") {
        m.Years = static_cast<uint32_t>(ParseUnsigned(value, 1000000, what));
        haveYears = true;
      } else if (key == "seed") {
        m.Seed = ParseUnsigned(value, UINT64_MAX, what);
      } else if (key == "delay_ms") {
        m.DelayMs = static_cast<uint32_t>(ParseUnsigned(value, 600000, what));
      } else if (key == "jitter_ms") {
        m.JitterMs = static_cast<uint32_t>(ParseUnsigned(value, 600000, what));
      } else if (key == "echoes") {
        m.Echoes = static_cast<uint32_t>(ParseUnsigned(value, 1000, what));
      } else if (key == "exit_at_step") {
        m.ExitAtStep = static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX, what));
      } else if (key == "never_initialize") {
        m.NeverInitialize = ParseBool(value, what);
      } else {
        throw EModelError(where + ": unknown setting \"" + key + "\"");
      }
    } else if (key == "initial") {
      pop->Initial = static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX, what));
    } else if (key == "capacity") {
      pop->Capacity = static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX, what));
      if (pop->Capacity == 0) throw EModelError(what + ": must be more than 0");
    } else if (key == "growth") {
      pop->Growth = ParseReal(value, what);
      if (std::fabs(pop->Growth) > 10) throw EModelError(what + ": must lie between -10 and 10");
    } else if (key == "variation") {
      pop->Variation = ParseReal(value, what);
      if (pop->Variation < 0 || pop->Variation > 10) throw EModelError(what + ": must lie between 0 and 10");
    } else {
      throw EModelError(where + ": unknown population setting \"" + key + "\"");
    }
  }
  if (!haveYears || m.Years == 0) throw EModelError("years must be given and more than 0");
  if (m.Populations.empty()) throw EModelError("no [population NAME] section");
  for (const auto& p : m.Populations)
    if (p.Capacity == 0) throw EModelError("population \"" + p.Name + "\" has no capacity");
  return m;
}

TModel LoadModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw EModelError("cannot read the model file \"" + path + "\"");
  std::stringstream text;
  text << f.rdbuf();
  try {
    return ParseModel(text.str());
  } catch (const EModelError& e) {
    throw EModelError(path + ": " + e.what());
  }
}

TSimulation::TSimulation(const TModel& model) : FModel(model), FRandom(model.Seed) {
  for (const auto& p : model.Populations) {
    FAbund.push_back(p.Initial);
    FK.push_back(p.Capacity);
    FGrowth.push_back(p.Growth);
    FVariation.push_back(p.Variation);
  }
}

double TSimulation::Uniform() {
  // 53 random bits: the same on every platform, unlike the distributions.
  return static_cast<double>(FRandom() >> 11) * 0x1.0p-53;
}

double TSimulation::Normal() {
  const double u1 = 1.0 - Uniform();  // (0, 1]
  const double u2 = Uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
}

void TSimulation::Step() {
  for (size_t p = 0; p < FAbund.size(); ++p) {
    // Both draws are made for every population every year, so a change in
    // one population never shifts the numbers another one gets.
    const double z = Normal();
    const double u = Uniform();
    const double n = FAbund[p];
    const double k = FK[p];
    const double mean = k > 0 ? n * std::exp(FGrowth[p] * (1.0 - n / k) + FVariation[p] * z) : 0.0;
    FAbund[p] = ClampCount(std::floor(mean + u));
  }
  ++FYear;
}

void TSimulation::ApplyModifier(const json& modifier) {
  if (!modifier.is_object()) return;
  auto flag = [&](const char* name) { return modifier.contains(name) && modifier[name].is_boolean() && modifier[name].get<bool>(); };
  auto array = [&](const char* name) { return modifier.contains(name) && modifier[name].is_array() ? modifier[name] : json::array(); };
  const size_t pops = FAbund.size();
  if (flag("ChangeDisp")) {
    // Disp[p]: the share of population p that leaves, evenly to the others.
    const json disp = array("Disp");
    const std::vector<uint32_t> start = FAbund;
    for (size_t p = 0; p < pops && p < disp.size() && pops > 1; ++p) {
      if (!disp[p].is_number()) continue;
      const double share = std::clamp(disp[p].get<double>(), 0.0, 1.0);
      const uint32_t leaving = static_cast<uint32_t>(std::floor(start[p] * share));
      FAbund[p] -= leaving;
      for (size_t k = 1; k < pops; ++k) {
        const size_t q = (p + k) % pops;
        const uint32_t part = static_cast<uint32_t>(leaving / (pops - 1) + (k <= leaving % (pops - 1) ? 1 : 0));
        FAbund[q] = ClampCount(static_cast<double>(FAbund[q]) + part);
      }
    }
  }
  if (flag("ChangeAbund")) {
    // Abund[p]: the stages of population p; this model has one, the sum.
    const json abund = array("Abund");
    for (size_t p = 0; p < pops && p < abund.size(); ++p) {
      uint32_t n = 0;
      if (AsCount(abund[p], n)) {
        FAbund[p] = n;
      } else if (abund[p].is_array() && !abund[p].empty()) {
        uint64_t sum = 0;
        for (const auto& cell : abund[p])
          if (AsCount(cell, n)) sum += n;
        FAbund[p] = ClampCount(static_cast<double>(sum));
      }
    }
  }
  if (flag("ChangeK")) {
    const json k = array("K");
    for (size_t p = 0; p < pops && p < k.size(); ++p)
      AsCount(k[p], FK[p]);
  }
  if (flag("ChangeVital")) {
    // Vital[p][0] = [growth, variation]; either may be left out.
    const json vital = array("Vital");
    for (size_t p = 0; p < pops && p < vital.size(); ++p) {
      if (!vital[p].is_array() || vital[p].empty() || !vital[p][0].is_array()) continue;
      const json& rates = vital[p][0];
      if (rates.size() > 0 && rates[0].is_number()) FGrowth[p] = std::clamp(rates[0].get<double>(), -10.0, 10.0);
      if (rates.size() > 1 && rates[1].is_number()) FVariation[p] = std::clamp(rates[1].get<double>(), 0.0, 10.0);
    }
  }
}

json TSimulation::StateVarsGlobal(const std::string& modelPath) const {
  json names = json::array();
  for (const auto& p : FModel.Populations) names.push_back(p.Name);
  return {{"Model", modelPath}, {"Years", FModel.Years}, {"Seed", FModel.Seed}, {"Populations", names}};
}

json TSimulation::StateVarsPop() const {
  json abund = json::array();
  for (uint32_t n : FAbund) abund.push_back(json::array({n}));
  return {{"Timestep", FYear}, {"Abund", abund}, {"K", FK}};
}

std::string ResultsPath(const std::string& modelPath) {
  const size_t slash = modelPath.rfind('/');
  const size_t dot = modelPath.rfind('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExt ? modelPath.substr(0, dot) : modelPath) + ".results.csv";
}

TResultsWriter::TResultsWriter(const std::string& path, const TModel& model) : FPath(path) {
  std::ofstream& f = FFile;
  f.open(FPath, std::ios::trunc);
  if (!f) throw EModelError("cannot write the results file \"" + FPath + "\"");
  f << "Year";
  for (const auto& p : model.Populations) f << ',' << p.Name;
  f << ",Total,StartNs,StopNs\n";
  f.flush();
}

void TResultsWriter::Row(const TSimulation& sim, uint64_t startNs, uint64_t stopNs) {
  // Each row goes out at once, so a run that is stopped keeps the years it did.
  std::ofstream& f = FFile;
  uint64_t total = 0;
  f << sim.Year();
  for (uint32_t n : sim.Abundances()) {
    f << ',' << n;
    total += n;
  }
  f << ',' << total << ',' << startNs << ',' << stopNs << '\n';
  f.flush();
  if (!f) throw EModelError("cannot write the results file \"" + FPath + "\"");
}

uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace RefEngine
