#pragma once
// The population-state modifier an engine receives at the start of every
// time step: replacement arrays, each with a flag saying whether to apply
// it, wrapped with the result flag of the "StartTimeStep" call.
#include <cstdint>
#include <vector>

#include "Shared/JSON.h"

using T2DCardinalArray = std::vector<std::vector<uint32_t>>;
using T3DDoubleArray = std::vector<std::vector<std::vector<double>>>;
using TCardinalVector = std::vector<uint32_t>;
using TDoubleVector = std::vector<double>;

struct TRpcVelmarModifier {
  bool ChangeAbund = false;
  bool ChangeVital = false;
  bool ChangeK = false;
  bool ChangeDisp = false;
  uint32_t Timestep = 0;
  bool Complete = false;
  bool Active = false;
  T2DCardinalArray Abund;
  T3DDoubleArray Vital;
  TCardinalVector K;
  TDoubleVector Disp;

  // All flags false, step 0, every array empty.
  void Clear();
};

struct TRpcVelmarModifierResult {
  TRpcVelmarModifier modifier;
  bool result = false;

  // The record as a new JSON object.
  IJsonValue AsJsonValue() const;
};

void WriteJsonFields(const TRpcVelmarModifier& r, TJsonRecordWriter& w);
void WriteJsonFields(const TRpcVelmarModifierResult& r, TJsonRecordWriter& w);
