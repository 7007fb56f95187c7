#include "coordination/RpcVelmarModifier.h"

void TRpcVelmarModifier::Clear() { *this = TRpcVelmarModifier(); }

IJsonValue TRpcVelmarModifierResult::AsJsonValue() const { return RecordToJson(*this); }

// Field order as declared; the writer orders the members by itself.
void WriteJsonFields(const TRpcVelmarModifier& r, TJsonRecordWriter& w) {
  w.Field("ChangeAbund", r.ChangeAbund)
      .Field("ChangeVital", r.ChangeVital)
      .Field("ChangeK", r.ChangeK)
      .Field("ChangeDisp", r.ChangeDisp)
      .Field("Timestep", r.Timestep)
      .Field("Complete", r.Complete)
      .Field("Active", r.Active)
      .Field("Abund", r.Abund)
      .Field("Vital", r.Vital)
      .Field("K", r.K)
      .Field("Disp", r.Disp);
}

void WriteJsonFields(const TRpcVelmarModifierResult& r, TJsonRecordWriter& w) {
  w.Field("modifier", r.modifier).Field("result", r.result);
}
