#include <gtest/gtest.h>

#include "coordination/RpcVelmarModifier.h"

namespace {

TRpcVelmarModifier Filled() {
  TRpcVelmarModifier m;
  m.ChangeAbund = m.ChangeVital = m.ChangeK = m.ChangeDisp = true;
  m.Timestep = 9;
  m.Complete = m.Active = true;
  m.Abund = {{1, 2, 3}, {4}};
  m.Vital = {{{0.5}, {}}, {}};
  m.K = {100, 4000000000u};
  m.Disp = {0.25, 1e-5};
  return m;
}

TEST(RpcVelmarModifier, ClearEmptiesEveryArrayAndFlag) {
  TRpcVelmarModifier m = Filled();
  m.Clear();
  EXPECT_FALSE(m.ChangeAbund || m.ChangeVital || m.ChangeK || m.ChangeDisp || m.Complete || m.Active);
  EXPECT_EQ(m.Timestep, 0u);
  EXPECT_TRUE(m.Abund.empty());
  EXPECT_TRUE(m.Vital.empty());
  EXPECT_TRUE(m.K.empty());
  EXPECT_TRUE(m.Disp.empty());
}

TEST(RpcVelmarModifier, ClearedResultWritesThirteenMembersInWriterOrder) {
  TRpcVelmarModifierResult r;
  r.modifier = Filled();
  r.modifier.Clear();
  r.result = true;
  const IJsonValue v = r.AsJsonValue();
  EXPECT_EQ(v->Members().size(), 2u);
  EXPECT_EQ(JsonMember(v, "modifier")->Members().size(), 11u);
  EXPECT_EQ(JsonSerialize(v),
            R"({"modifier":{"Abund":[],"ChangeK":false,"ChangeVital":false,"Active":false,"K":[],)"
            R"("ChangeAbund":false,"ChangeDisp":false,"Vital":[],"Timestep":0,"Complete":false,"Disp":[]},)"
            R"("result":true})");
  r.result = false;
  EXPECT_EQ(JsonSerialize(JsonMember(r.AsJsonValue(), "result")), "false");
}

TEST(RpcVelmarModifier, FilledArraysKeepTheirShape) {
  TRpcVelmarModifierResult r;
  r.modifier = Filled();
  const IJsonValue m = JsonMember(r.AsJsonValue(), "modifier");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "Abund")), "[[1,2,3],[4]]");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "Vital")), "[[[0.5],[]],[]]");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "K")), "[100,4000000000]");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "Disp")), "[0.25,1E-5]");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "Timestep")), "9");
  EXPECT_EQ(JsonSerialize(JsonMember(m, "ChangeDisp")), "true");
  // The record owns its data: the JSON form is a copy taken when written.
  r.modifier.Abund[0][0] = 77;
  EXPECT_EQ(JsonSerialize(JsonMember(m, "Abund")), "[[1,2,3],[4]]");
}

}  // namespace
