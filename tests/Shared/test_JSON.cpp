#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <vector>
#include <limits>
#include <random>

#include "Shared/JSON.h"

namespace {

std::string Ser(const IJsonValue& v) { return JsonSerialize(v); }
std::string FloatText(double d) { return Ser(TJsonValue::Float(d)); }
std::string StringText(const std::string& s) { return Ser(TJsonValue::String(s)); }

TEST(JsonParse, TakesTheFirstCompleteValueAndIgnoresTheRest) {
  EXPECT_EQ(Ser(JsonParse(R"({"a":1} trailing {"b":2})")), R"({"a":1})");
  EXPECT_EQ(Ser(JsonParse("5 6")), "5");
  EXPECT_EQ(Ser(JsonParse("  [true,null]]]")), "[true,null]");
  EXPECT_EQ(Ser(JsonParse("\"x\"garbage")), "\"x\"");
}

TEST(JsonParse, YieldsNoneForTextThatIsNotJson) {
  for (const char* text : {"", "   ", "abc", "{", "[1,", "{\"a\"}", "{\"a\":}", "'x'", "nul", "-", "1e400",
                           "\"\xff\"", "\"\xc3\"", "{\"\xe9\":1}", "\"unterminated"}) {
    EXPECT_EQ(JsonParse(text), nullptr) << text;
  }
}

TEST(JsonParse, RefusesNestingBeyondTheLimitWithoutRecursing) {
  const std::string ok = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
  ASSERT_NE(JsonParse(ok), nullptr);
  const std::string deep = std::string(JSON_MAX_DEPTH + 1, '[') + std::string(JSON_MAX_DEPTH + 1, ']');
  EXPECT_EQ(JsonParse(deep), nullptr);
  EXPECT_EQ(JsonParse(std::string(1000000, '[')), nullptr);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_EQ(JsonParse(objects), nullptr);
}

TEST(JsonParse, KeepsTheValuesAndTheLastOfRepeatedNames) {
  const IJsonValue v = JsonParse(R"({"i":-12,"f":0.25,"s":"t\u00e9\n","b":false,"n":null,"a":[1,[2]],"i":13})");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(JsonMember(v, "i")->AsInteger(), 13);
  EXPECT_EQ(JsonMember(v, "f")->Kind(), jkFloat);
  EXPECT_DOUBLE_EQ(JsonMember(v, "f")->AsFloat(), 0.25);
  EXPECT_EQ(JsonMember(v, "s")->AsString(), "t\xc3\xa9\n");
  EXPECT_EQ(JsonMember(v, "b")->Kind(), jkBoolean);
  EXPECT_EQ(JsonMember(v, "n")->Kind(), jkNull);
  EXPECT_EQ(Ser(JsonMember(v, "a")), "[1,[2]]");
}

TEST(JsonParse, IntegersBeyond64BitsAreWrittenBackAsTheyCame) {
  for (const char* digits : {"123456789012345678901234567890", "18446744073709551615", "-9223372036854775809"}) {
    const IJsonValue v = JsonParse(digits);
    ASSERT_NE(v, nullptr) << digits;
    EXPECT_EQ(Ser(v), digits);
    EXPECT_EQ(JsonAsText(v), digits);
  }
  EXPECT_EQ(Ser(JsonParse("9223372036854775807")), "9223372036854775807");
  EXPECT_EQ(JsonParse("9223372036854775807")->Kind(), jkInteger);
  EXPECT_EQ(Ser(JsonParse("-9223372036854775808")), "-9223372036854775808");
}

TEST(JsonParse, AnOutlineKeepsTheOuterLevelsAndStillChecksTheRest) {
  const std::string call = R"({"method":"StopTimeStep","params":{"ClientID":3,"Pop":{"A":[1,2,{"x":[3]}],"B":4}},"id":7})";
  const IJsonValue v = JsonParseOutline(call, 2);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(JsonMemberAsText(v, "method"), "StopTimeStep");
  EXPECT_EQ(JsonMember(v, "id")->AsInteger(), 7);
  const IJsonValue params = JsonMember(v, "params");
  EXPECT_EQ(JsonMember(params, "ClientID")->AsInteger(), 3);
  // Present, but empty: what was inside is left out.
  ASSERT_NE(JsonMember(params, "Pop"), nullptr);
  EXPECT_EQ(Ser(JsonMember(params, "Pop")), "{}");
  EXPECT_EQ(Ser(JsonParseOutline(call, SIZE_MAX)), Ser(JsonParse(call)));
  // A fault or too deep a nesting inside the left-out part still fails.
  EXPECT_EQ(JsonParseOutline(R"({"params":{"Pop":{"A":[1,2,}}})", 2), nullptr);
  const std::string deep = std::string(JSON_MAX_DEPTH + 1, '[') + std::string(JSON_MAX_DEPTH + 1, ']');
  EXPECT_EQ(JsonParseOutline(deep, 2), nullptr);
}

// The scanner that checks a long message without building it must draw the
// line exactly where the parser does: each case is checked against both.
TEST(JsonScan, AcceptsExactlyWhatTheParserAccepts) {
  const std::string nines308(308, '9'), nines309(309, '9');
  const std::string tenTo308 = "1" + std::string(308, '0');
  const struct {
    std::string Text;
    bool Valid;
  } cases[] = {
      // Numbers: grammar, and a value too large for a double.
      {"01", true}, {"-01", true}, {"[01]", false}, {"[-01]", false}, {"-", false}, {"[-]", false},
      {"1.", false}, {"1.e5", false}, {"1e", false}, {"1e+", false}, {".5", false}, {"+1", false},
      {"[-0,0.0,0e0,1E+2,1e-2]", true}, {"[1e308,-1.7976931348623157e308]", true}, {"1.7976931348623159e308", false},
      {"-1e309", false}, {"0e999999999999", true}, {"1e-999999999999", true}, {"[" + nines308 + "]", true},
      {"[" + nines309 + "]", false}, {"[" + tenTo308 + "]", true}, {"[" + tenTo308 + "0]", false},
      {"[" + nines309 + "e-300]", true}, {"[0." + nines309 + "]", true},
      // Strings: escapes, surrogate pairs, control characters, UTF-8.
      {R"(["\"\\\/\b\f\n\r\t"])", true}, {R"(["\x"])", false}, {R"(["\u12G4"])", false}, {R"(["\u00e9"])", true},
      {R"(["\ud83d\ude00"])", true}, {R"(["\ud83d"])", false}, {R"(["\ude00"])", false},
      {R"(["\ud83d\u0041"])", false}, {R"(["\ud83dx"])", false}, {"[\"\x1f\"]", false}, {"[\"\x7f\"]", true},
      {"[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]", true}, {"[\"\xc1\xbf\"]", false}, {"[\"\xe0\x80\x80\"]", false},
      {"[\"\xed\xa0\x80\"]", false}, {"[\"\xf4\x90\x80\x80\"]", false}, {"[\"\xf5\x80\x80\x80\"]", false},
      {"[\"\xe2\x82\"]", false}, {"[\"\xe2\x82", false}, {std::string("[\"a\0b\"]", 7), false},
      // Structure, literals, blanks, the byte order mark, the first value only.
      {"[1,]", false}, {R"({"a":1,})", false}, {"{,}", false}, {R"({"a"})", false}, {"{1:2}", false},
      {"[1 2]", false}, {" \t\r\n{ \"a\" : [ ] , \"b\" :{}}", true}, {"truex", true}, {"[truex]", false},
      {"tru", false}, {"[nul]", false}, {"\xef\xbb\xbf[]", true}, {"\xef\xbb[]", false}, {" \xef\xbb\xbf[]", false},
      {std::string("1\0", 2), true}, {std::string("[1,\0]", 5), false}, {"{} ]]] junk", true}, {"", false},
      {"  ", false}, {"[[[]]", false}, {"[1}", false}, {"{\"a\":1]", false},
      // One member looked up: repeated, escaped, nested names.
      {R"({"a":1,"a":[2]})", true}, {R"({"\u0061":3})", true}, {R"({"b":{"a":1}})", true}, {R"({"a\"":1})", true},
      {R"({"a":1 "b":2})", false}, {"{\"a\":1", false}, {"\xef\xbb\xbf{\"a\":null}", true},
  };
  const std::string ok = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
  const std::string deepest = "{\"a\":" + std::string(JSON_MAX_DEPTH - 1, '[') + std::string(JSON_MAX_DEPTH - 1, ']') + "}";
  const std::string tooDeep = "{\"a\":" + ok + "}";
  for (const auto& c : cases) {
    EXPECT_EQ(JsonScan(c.Text), c.Valid) << c.Text;
    const IJsonValue parsed = JsonParse(c.Text);
    EXPECT_EQ(parsed != nullptr, c.Valid) << c.Text;
    // The member lookup sees what the parser sees.
    IJsonValue a;
    const TJsonShape shape = JsonScanMember(c.Text, "a", a);
    EXPECT_EQ(shape, !parsed ? TJsonShape::Invalid : parsed->IsObject() ? TJsonShape::Object : TJsonShape::NotObject)
        << c.Text;
    const IJsonValue expected = JsonMember(parsed, "a");
    EXPECT_EQ(a ? JsonSerialize(a) : "none", expected ? JsonSerialize(expected) : "none") << c.Text;
  }
  EXPECT_TRUE(JsonScan(ok));
  EXPECT_FALSE(JsonScan("[" + ok + "]"));
  IJsonValue a;
  EXPECT_EQ(JsonScanMember(deepest, "a", a), TJsonShape::Object);
  EXPECT_EQ(JsonScanMember(tooDeep, "a", a), TJsonShape::Invalid);
  EXPECT_EQ(JsonParse(tooDeep), nullptr);
}

// Long runs of numbers are checked many at a time: a fault at any place in
// such a run is found all the same.
TEST(JsonScan, FindsAFaultAnywhereInALongRunOfNumbers) {
  const struct {
    const char* Item;
    bool Valid;
  } items[] = {{"-0.5", true}, {"0", true}, {"1e5", true}, {"-12", true}, {"01", false}, {"-01", false},
               {"1.", false}, {".5", false}, {"-", false}, {"1.2.3", false}, {"--1", false}, {"1-2", false},
               {"", false}, {"0x1", false}, {"1..2", false}, {"-.5", false}, {"1 ", true}, {"7}", false}, {"[7]", true}};
  for (const auto& item : items) {
    for (int at = 0; at < 40; at += 3) {
      std::string text = "[";
      for (int i = 0; i < 40; ++i) text += (i == at ? std::string(item.Item) : std::to_string(i * 37) + ".5") + ",";
      text += "1]";
      EXPECT_EQ(JsonScan(text), item.Valid) << text;
      EXPECT_EQ(JsonParse(text) != nullptr, item.Valid) << text;
    }
  }
}

// Runs of numbers with a few bytes changed at random: the scanner agrees
// with the parser on every one.
TEST(JsonScan, AgreesWithTheParserOnDamagedRunsOfNumbers) {
  std::mt19937 random(20261209);
  const std::string bytes = "0123456789.,-eE+ ]}[x\"";
  std::vector<std::string> texts;
  for (int n = 0; n < 3000; ++n) {
    std::string text = "[";
    const int count = 10 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      if (i > 0) text += ',';
      if (random() % 4 == 0) text += '-';
      text += std::to_string(random() % 100000);
      if (random() % 2 == 0) text += "." + std::to_string(random() % 1000);
    }
    text += "]";
    for (int change = static_cast<int>(random() % 3); change > 0; --change)
      text[1 + random() % (text.size() - 1)] = bytes[random() % bytes.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) EXPECT_EQ(JsonScan(text), JsonParse(text) != nullptr) << text;
}

TEST(JsonScan, CutsTheOutlineOutOfTheText) {
  std::string outline;
  ASSERT_TRUE(JsonScan(R"( {"a":[1,{"b":2}],"c":{"d":[3]},"e":[]} tail)", 1, &outline));
  EXPECT_EQ(outline, R"( {"a":[],"c":{},"e":[]})");
  ASSERT_TRUE(JsonScan(R"([[1],[2]])", 0, &outline));
  EXPECT_EQ(outline, "[]");
  ASSERT_TRUE(JsonScan("12 3", 0, &outline));
  EXPECT_EQ(outline, "12");
  EXPECT_FALSE(JsonScan(R"({"a":[1,}])", 1, &outline));
  EXPECT_EQ(outline, "");
}

TEST(JsonMembers, LookupIsExactAndNullCountsAsPresent) {
  const IJsonValue v = JsonParse(R"({"Id":1,"n":null})");
  EXPECT_NE(JsonMember(v, "Id"), nullptr);
  EXPECT_EQ(JsonMember(v, "id"), nullptr);
  EXPECT_NE(JsonMember(v, "n"), nullptr);
  EXPECT_EQ(JsonMember(JsonParse("[1]"), "0"), nullptr);
  EXPECT_EQ(JsonMember(JsonParse("\"Id\""), "Id"), nullptr);
  EXPECT_EQ(JsonMember(nullptr, "Id"), nullptr);
}

TEST(JsonMembers, TextFormOfEachKind) {
  const IJsonValue v = JsonParse(R"({"s":"a/b\"\u00e9","i":-3,"f":1.0,"g":1e20,"b":true,"n":null,
                                     "o":{"k":"q\"/\u00e9\u0000","z":[1,2.5]},"e":[]})");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(JsonMemberAsText(v, "s"), "a/b\"\xc3\xa9");
  EXPECT_EQ(JsonMemberAsText(v, "i"), "-3");
  EXPECT_EQ(JsonMemberAsText(v, "f"), "1");
  EXPECT_EQ(JsonMemberAsText(v, "g"), "1E20");
  EXPECT_EQ(JsonMemberAsText(v, "b"), "true");
  EXPECT_EQ(JsonMemberAsText(v, "n"), "");
  EXPECT_EQ(JsonMemberAsText(v, "missing"), "");
  // Only the quotation mark, backslash and NUL are escaped in the text form.
  EXPECT_EQ(JsonMemberAsText(v, "o"), "{\"z\":[1,2.5],\"k\":\"q\\\"/\xc3\xa9\\u0000\"}");
  EXPECT_EQ(JsonMemberAsText(v, "e"), "[]");
}

TEST(JsonMembers, AsIntegerFollowsTheRoundingRules) {
  const IJsonValue v = JsonParse(R"({"i":42,"h1":2.5,"h2":3.5,"h3":-2.5,"r":2.6,"big":1e300,"nbig":-1e300,
      "t":true,"f":false,"s":"-17","p":"+5","sp":" 5","x":"5x","empty":"","over":"9223372036854775808",
      "min":"-9223372036854775808","fs":"2.5","n":null,"a":[1],"o":{"a":1}})");
  ASSERT_NE(v, nullptr);
  const std::pair<const char*, int64_t> cases[] = {
      {"i", 42},   {"h1", 2},    {"h2", 4},
      {"h3", -2},  {"r", 3},     {"big", std::numeric_limits<int64_t>::max()},
      {"nbig", std::numeric_limits<int64_t>::min()},     {"t", 1},
      {"f", 0},    {"s", -17},   {"p", 5},
      {"sp", 0},   {"x", 0},     {"empty", 0},
      {"over", 0}, {"min", std::numeric_limits<int64_t>::min()},
      {"fs", 0},   {"n", 0},     {"a", 0},
      {"o", 0},    {"missing", 0}};
  for (const auto& [name, expected] : cases) EXPECT_EQ(JsonMemberAsInteger(v, name), expected) << name;

  EXPECT_EQ(JsonAsInteger(TJsonValue::Float(std::nan(""))), 0);
  // Currency: divided by 10,000, halves to the even neighbour.
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({25000})), 2);
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({35000})), 4);
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({-25000})), -2);
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({-35001})), -4);
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({24999})), 2);
  EXPECT_EQ(JsonAsInteger(TJsonValue::Currency({15001})), 2);
}

TEST(JsonWriter, FloatsUseFifteenDigitsAndTheExponentRules) {
  EXPECT_EQ(FloatText(1e15), "1E15");
  EXPECT_EQ(FloatText(1e14), "100000000000000");
  EXPECT_EQ(FloatText(0.00001), "1E-5");
  EXPECT_EQ(FloatText(0.0001), "0.0001");
  EXPECT_EQ(FloatText(1.5e-7), "1.5E-7");
  EXPECT_EQ(FloatText(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatText(2.5), "2.5");
  EXPECT_EQ(FloatText(1.0), "1");
  EXPECT_EQ(FloatText(0.5), "0.5");
  EXPECT_EQ(FloatText(-0.5), "-0.5");
  EXPECT_EQ(FloatText(0.0), "0");
  EXPECT_EQ(FloatText(-0.0), "0");
  EXPECT_EQ(FloatText(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(FloatText(123456789012345678.0), "1.23456789012346E17");
  EXPECT_EQ(FloatText(99999999999999.95), "100000000000000");
  EXPECT_EQ(FloatText(999999999999999.9), "1E15");
  EXPECT_EQ(FloatText(-1.25e-20), "-1.25E-20");
  EXPECT_EQ(FloatText(1.7976931348623157e308), "1.79769313486232E308");
  EXPECT_EQ(FloatText(12345.678), "12345.678");
  // No JSON form for these: written as null, so the text stays JSON.
  EXPECT_EQ(FloatText(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(FloatText(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(FloatText(std::nan("")), "null");
}

TEST(JsonWriter, CurrencyHasAtMostFourDecimals) {
  EXPECT_EQ(Ser(TJsonValue::Currency({125000})), "12.5");
  EXPECT_EQ(Ser(TJsonValue::Currency(TCurrency::FromUnits(3))), "3");
  EXPECT_EQ(Ser(TJsonValue::Currency({1})), "0.0001");
  EXPECT_EQ(Ser(TJsonValue::Currency({-12345})), "-1.2345");
}

TEST(JsonWriter, EscapesPerUtf16CodeUnit) {
  EXPECT_EQ(StringText("a/b"), R"("a\/b")");
  EXPECT_EQ(StringText("\xe2\x98\xba"), R"("\u263a")");
  EXPECT_EQ(StringText("\xc3\xa9"), R"("\u00e9")");
  EXPECT_EQ(StringText("\b\t\n\f\r\"\\"), R"("\b\t\n\f\r\"\\")");
  EXPECT_EQ(StringText(std::string("\x01\x1f\x7f ~", 5)), R"("\u0001\u001f)" "\x7f" R"( ~")");
  EXPECT_EQ(StringText(std::string("\0", 1)), R"("\u0000")");
  // Outside the basic plane: two escapes, one per surrogate.
  EXPECT_EQ(StringText("\xf0\x9f\x98\x80"), R"("\ud83d\ude00")");
  // A byte that is not UTF-8 is read as the 8-bit character it is.
  EXPECT_EQ(StringText("a\xff" "b\xc3"), R"("a\u00ffb\u00c3")");
  EXPECT_EQ(StringText("\xed\xa0\x80"), R"("\u00ed\u00a0\u0080")");  // an encoded surrogate
  EXPECT_EQ(StringText("\xc0\xaf"), R"("\u00c0\u00af")");              // an overlong slash
  // Member names are escaped the same way.
  const IJsonValue o = TJsonValue::NewObject();
  o->Put("\xc3\xa9/", 1);
  EXPECT_EQ(Ser(o), R"({"\u00e9\/":1})");
}

TEST(JsonWriter, MembersFollowTheNameHashNotInsertion) {
  EXPECT_EQ(JsonNameHash(""), 0u);
  EXPECT_EQ(JsonNameHash("a"), 97u + 0x9E370001u);
  EXPECT_EQ(JsonNameHash("ab"), (97u + 0x9E370001u) * 129u + 98u + 0x9E370001u);
  // Hashed over UTF-16 code units, not bytes.
  EXPECT_EQ(JsonNameHash("\xc3\xa9"), 0xE9u + 0x9E370001u);

  const IJsonValue reply = TJsonValue::NewObject();
  reply->Put("jsonrpc", "2.0");
  reply->Put("id", 7);
  reply->Put("result", true);
  EXPECT_EQ(Ser(reply), R"({"result":true,"id":7,"jsonrpc":"2.0"})");

  const IJsonValue error = TJsonValue::NewObject();
  error->Put("code", 5);
  error->Put("message", "M");
  const IJsonValue errorReply = TJsonValue::NewObject();
  errorReply->Put("jsonrpc", "2.0");
  errorReply->Put("error", error);
  errorReply->Put("id", 7);
  EXPECT_EQ(Ser(errorReply), R"({"id":7,"error":{"message":"M","code":5},"jsonrpc":"2.0"})");

  // Objects from outside are written in the same order as our own.
  EXPECT_EQ(Ser(JsonParse(R"({"jsonrpc":"2.0","id":7,"result":true})")), R"({"result":true,"id":7,"jsonrpc":"2.0"})");
  EXPECT_EQ(Ser(TJsonValue::NewObject()), "{}");
  EXPECT_EQ(Ser(TJsonValue::NewArray()), "[]");
}

TEST(JsonWriter, EqualHashesFollowInCodeUnitOrder) {
  // "BA" and "A" U+00C2 collide: 66*129+65 == 65*129+194.
  const std::string second = "BA", first = "A\xc3\x82";
  ASSERT_EQ(JsonNameHash(first), JsonNameHash(second));
  const IJsonValue o = TJsonValue::NewObject();
  o->Put(second, 2);
  o->Put(first, 1);
  EXPECT_EQ(Ser(o), R"({"A\u00c2":1,"BA":2})");
}

TEST(JsonWriter, RefusesValuesNestedTooDeeplyOrContainingThemselves) {
  IJsonValue root = TJsonValue::NewArray(), cur = root;
  for (int i = 0; i < JSON_MAX_WRITE_DEPTH + 1; ++i) {
    IJsonValue next = TJsonValue::NewArray();
    cur->Add(next);
    cur = next;
  }
  EXPECT_THROW(Ser(root), EJsonError);

  const IJsonValue self = TJsonValue::NewObject();
  self->Put("me", self);
  EXPECT_THROW(Ser(self), EJsonError);
  self->Put("me", 0);  // break the cycle so the object can be freed
}

// The text written from the parser's events is the text of the tree, for
// the whole value and for the value at a path of members.
std::optional<std::string> TreeText(std::string_view text, std::vector<std::string_view> path) {
  IJsonValue v = JsonParse(text);
  if (!v) return std::nullopt;
  for (std::string_view name : path) {
    v = JsonMember(v, name);
    if (!v) return std::nullopt;
  }
  return JsonSerialize(v);
}

TEST(JsonCanonicalText, IsTheTreesTextWithoutTheTree) {
  struct TCase {
    const char* Text;
    std::vector<std::string_view> Path;
    const char* Expected;  // nullptr: none
  };
  const TCase cases[] = {
      // Blanks, number spellings and escapes as the writer has them.
      {R"( { "b" : [ 1.0 , -0 , 2e3 , 1.5E-7 , 18446744073709551616 , 9223372036854775808 ] } )", {},
       R"({"b":[1,0,2000,1.5E-7,18446744073709551616,9223372036854775808]})"},
      {R"(["\u00e9\/\t\ud83d\ude00", "é"])", {}, R"(["\u00e9\/\t\ud83d\ude00","\u00e9"])"},
      // Members in the written order; a repeated name: the last one.
      {R"({"a":1,"b":2,"c":{"y":1,"x":2,"y":3},"a":4})", {}, R"({"c":{"y":3,"x":2},"b":2,"a":4})"},
      {R"({"params":{"ClientID":0,"S":{"P2":[1],"P1":[2.50]}},"id":1})", {"params", "S"}, R"({"P2":[1],"P1":[2.5]})"},
      // The last "params" counts, also when it lacks the member.
      {R"({"params":{"S":[1]},"params":{"S":[2]}})", {"params", "S"}, "[2]"},
      {R"({"params":{"S":[1]},"params":{"T":[2]}})", {"params", "S"}, nullptr},
      {R"({"params":{"S":[1]},"params":7})", {"params", "S"}, nullptr},
      {R"({"params":{"S":{"deep":{"x":[{"b":1,"a":2}]}},"S":null}})", {"params", "S"}, "null"},
      {R"({"params":[{"S":1}]})", {"params", "S"}, nullptr},
      {R"([{"S":1}])", {"S"}, nullptr},
      // Not JSON, or not all of it read: as the parser has it.
      {R"({"a":1)", {}, nullptr},
      {"{\"a\":\"\xff\"}", {}, nullptr},
      {R"({"a":1} {"b":)", {}, R"({"a":1})"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::optional<std::string> tree = TreeText(c.Text, c.Path);
    EXPECT_EQ(JsonCanonicalText(c.Text, c.Path), tree);
    EXPECT_EQ(tree, c.Expected ? std::optional<std::string>(c.Expected) : std::nullopt);
  }
  // Nested as deep as the parser allows, and one level more.
  const std::string deepest = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
  EXPECT_EQ(JsonCanonicalText(deepest), std::optional<std::string>(deepest));
  EXPECT_EQ(JsonCanonicalText("[" + deepest + "]"), std::nullopt);
}

TEST(JsonCanonicalText, AgreesWithTheTreeOnRandomObjectsWithRepeatedNames) {
  std::mt19937 random(20261211);
  const char* const names[] = {"a", "b", "P1", "P10", "Abund", "\\u00e9", "x y", "ClientID"};
  const char* const scalars[] = {"0", "-0", "1.50", "1e300", "-2.5E-5", "12345678901234567890", "true", "null",
                                 "\"s\\n\"", "0.1", "123456789012345678", "0.30000000000000004", "-0.0", "1E+2",
                                 "1.7976931348623157e308", "4.9e-324", "1e-400", "-1e400", "0.000012345",
                                 "123456.789012345678", "100.0000000000000000001", "99999999999999.95",
                                 "\"\\ud83d\\ude00/\\u0000\x7f\""};
  std::function<std::string(int)> value = [&](int depth) -> std::string {
    const int kind = depth > 3 ? 0 : static_cast<int>(random() % 3);
    if (kind == 0) return scalars[random() % std::size(scalars)];
    std::string out = kind == 1 ? "[" : "{";
    const int n = static_cast<int>(random() % 6);
    for (int i = 0; i < n; ++i) {
      if (i > 0) out += random() % 2 ? "," : " , ";
      if (kind == 2) out += std::string("\"") + names[random() % std::size(names)] + "\":";
      out += value(depth + 1);
    }
    return out + (kind == 1 ? "]" : "}");
  };
  for (int round = 0; round < 2000; ++round) {
    const std::string text = "{\"params\":" + value(1) + ",\"params\":" + value(1) + "}";
    SCOPED_TRACE(text);
    for (const std::vector<std::string_view>& path :
         {std::vector<std::string_view>{}, {"params"}, {"params", "a"}, {"params", "P1", "b"}})
      ASSERT_EQ(JsonCanonicalText(text, path), TreeText(text, path));
  }
}

TEST(JsonVariant, ScalarKindsBecomeTheirJsonKinds) {
  const IJsonValue so = TJsonValue::NewObject();
  AddVariantToJsonValue(so, "empty", TVariant());
  AddVariantToJsonValue(so, "null", TVariant::Null());
  EXPECT_EQ(Ser(so), "{}");

  const std::pair<TVariant, const char*> cases[] = {
      {TVariant(true), "true"},
      {TVariant(false), "false"},
      {TVariant(int16_t(-5)), "-5"},
      {TVariant(int8_t(-128)), "-128"},
      {TVariant(int32_t(-2147483647 - 1)), "-2147483648"},
      {TVariant(int64_t(-9000000000000000000)), "-9000000000000000000"},
      {TVariant(uint8_t(255)), "255"},
      {TVariant(uint16_t(65535)), "65535"},
      {TVariant(uint32_t(4000000000u)), "4000000000"},
      {TVariant(0.1), "0.1"},
      {TVariant(0.1f), "0.100000001490116"},  // widened to double first
      {TVariant(TCurrency{125000}), "12.5"},
      {TVariant("line\nfeed"), R"("line\nfeed")"},
  };
  for (const auto& [v, text] : cases) {
    const IJsonValue o = TJsonValue::NewObject();
    AddVariantToJsonValue(o, "v", v);
    EXPECT_EQ(Ser(o), std::string("{\"v\":") + text + "}");
  }
}

TEST(JsonVariant, AJsonValueIsEmbeddedSharedNotCopied) {
  const IJsonValue inner = TJsonValue::NewObject();
  inner->Put("a", 1);
  const TVariant v(inner);
  EXPECT_EQ(VariantAsIJsonValue(v), inner);
  const IJsonValue so = TJsonValue::NewObject();
  AddVariantToJsonValue(so, "result", v);
  inner->Put("b", 2);
  EXPECT_EQ(JsonMember(so, "result"), inner);
  EXPECT_EQ(Ser(so), R"({"result":{"b":2,"a":1}})");
}

TEST(JsonVariant, RefusedKindsRaiseAndLeaveTheObjectUnchanged) {
  class TOther : public IInterface {};
  const TVariant inner(7);
  const TVariant refused[] = {TVariant::DateTime(41703.5), TVariant(std::make_shared<TOther>()),
                              TVariant::Dispatch(TJsonValue::NewObject()), TVariant::ErrorCode(5),
                              TVariant::ByRef(&inner)};
  for (const TVariant& v : refused) {
    const IJsonValue so = TJsonValue::NewObject();
    so->Put("keep", 1);
    try {
      AddVariantToJsonValue(so, "result", v);
      ADD_FAILURE() << "no error for kind " << v.GetType();
    } catch (const EUnsupportedType& e) {
      EXPECT_EQ(e.Message(), "Can't convert variant \"result\"");
      EXPECT_STREQ(e.ClassName(), "TJsonRpc.EUnsupportedType");
    }
    EXPECT_EQ(Ser(so), R"({"keep":1})");
  }
  // Only the interface kind counts as holding a JSON value.
  EXPECT_EQ(VariantAsIJsonValue(TVariant::Dispatch(TJsonValue::NewObject())), nullptr);
  EXPECT_EQ(VariantAsIJsonValue(TVariant(std::make_shared<TOther>())), nullptr);
  EXPECT_EQ(VariantAsIJsonValue(TVariant("{}")), nullptr);
}

enum TShade { shLight, shDark };

struct TInner {
  std::string Name;
  std::vector<bool> Flags;
};
void WriteJsonFields(const TInner& r, TJsonRecordWriter& w) { w.Field("Name", r.Name).Field("Flags", r.Flags); }

struct TOuter {
  bool On = true;
  int32_t Neg = -4;
  uint32_t Big = 3000000000u;
  int64_t Huge = 1LL << 40;
  double Ratio = 0.75;
  TCurrency Price{25000};
  TShade Shade = shDark;
  std::vector<std::vector<int32_t>> Rows{{1, 2}, {}};
  std::vector<double> None;
  TInner Inner{"x/y", {true, false}};
};
void WriteJsonFields(const TOuter& r, TJsonRecordWriter& w) {
  w.Field("On", r.On)
      .Field("Neg", r.Neg)
      .Field("Big", r.Big)
      .Field("Huge", r.Huge)
      .Field("Ratio", r.Ratio)
      .Field("Price", r.Price)
      .Field("Shade", r.Shade)
      .Field("Rows", r.Rows)
      .Field("None", r.None)
      .Field("Inner", r.Inner);
}

TEST(JsonRecords, FieldsMapByKindWithEmptyArraysAsBrackets) {
  const IJsonValue v = RecordToJson(TOuter());
  const std::pair<const char*, const char*> members[] = {
      {"On", "true"},     {"Neg", "-4"},          {"Big", "3000000000"},  {"Huge", "1099511627776"},
      {"Ratio", "0.75"},  {"Price", "2.5"},       {"Shade", "1"},         {"Rows", "[[1,2],[]]"},
      {"None", "[]"},     {"Inner", R"({"Flags":[true,false],"Name":"x\/y"})"}};
  EXPECT_EQ(v->Members().size(), std::size(members));
  for (const auto& [name, text] : members) EXPECT_EQ(Ser(JsonMember(v, name)), text) << name;
}

}  // namespace
