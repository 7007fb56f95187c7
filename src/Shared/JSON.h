#pragma once
// JSON values, their text layout, and the variant results of RPC handlers.
//
// Values form a tree of shared nodes: putting a value into an object or array
// embeds that very node, so a handler that returns an object it still holds
// sees later changes in the reply. "None" is an empty IJsonValue.
//
// Parsing goes through nlohmann/json's event parser; the text the program
// writes comes from our own writer, because the wire format fixes a member
// order (by name hash), a float form and an escaping that no library writes.
// Text is UTF-8 in std::string; wherever the wire format counts 16-bit code
// units (escapes, the member-order hash) the writer converts to UTF-16.
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "diagnostics/Exception.h"

// Raised by AddVariantToJsonValue for a variant kind that has no JSON form.
VELMAR_DECLARE_EXCEPTION(EUnsupportedType, Exception, "TJsonRpc.EUnsupportedType");
// A value the writer refuses: nested deeper than JSON_MAX_WRITE_DEPTH (or
// containing itself).
VELMAR_DECLARE_EXCEPTION(EJsonError, Exception, "EJsonError");

// Deepest nesting the parser accepts. Requests are flat records with a few
// levels of arrays; the limit keeps hostile input ("[[[[..." by the
// megabyte) from building trees whose recursive destruction or writing
// would exhaust the stack.
inline constexpr int JSON_MAX_DEPTH = 512;
// Deepest nesting the writer follows: parsed trees embedded in replies fit
// comfortably, and a value that contains itself ends in an error instead of
// endless recursion.
inline constexpr int JSON_MAX_WRITE_DEPTH = 4 * JSON_MAX_DEPTH;

// Fixed point: a count of ten-thousandths.
struct TCurrency {
  int64_t Value = 0;
  static constexpr TCurrency FromUnits(int64_t units) { return TCurrency{units * 10000}; }
  friend bool operator==(const TCurrency&, const TCurrency&) = default;
};

// Base of the objects a variant can refer to as an interface.
class IInterface {
 public:
  virtual ~IInterface() = default;
};

enum TJsonKind { jkNull, jkBoolean, jkInteger, jkFloat, jkCurrency, jkString, jkArray, jkObject };

class TJsonValue;
using IJsonValue = std::shared_ptr<TJsonValue>;

class TJsonValue : public IInterface, public std::enable_shared_from_this<TJsonValue> {
 public:
  using TMembers = std::map<std::string, IJsonValue>;
  using TItems = std::vector<IJsonValue>;

  static IJsonValue Null();
  static IJsonValue Boolean(bool value);
  static IJsonValue Integer(int64_t value);
  static IJsonValue Float(double value);
  static IJsonValue Currency(TCurrency value);
  static IJsonValue String(std::string value);
  static IJsonValue NewArray();
  static IJsonValue NewObject();

  TJsonKind Kind() const { return FKind; }
  bool IsObject() const { return FKind == jkObject; }
  bool IsArray() const { return FKind == jkArray; }

  // Scalar contents; the accessor of another kind returns its zero.
  bool AsBoolean() const { return FKind == jkBoolean && FInt != 0; }
  int64_t AsInteger() const { return FKind == jkInteger ? FInt : 0; }
  double AsFloat() const { return FKind == jkFloat ? FFloat : 0.0; }
  TCurrency AsCurrency() const { return TCurrency{FKind == jkCurrency ? FInt : 0}; }
  const std::string& AsString() const;

  // Object members (empty for other kinds). Member lookup is exact.
  const TMembers& Members() const { return FMembers; }
  IJsonValue Member(std::string_view name) const;
  // Adds or replaces a member; the object must be an object.
  void Put(std::string_view name, IJsonValue value);
  void Put(std::string_view name, const std::string& value) { Put(name, String(value)); }
  void Put(std::string_view name, const char* value) { Put(name, String(value)); }
  void Put(std::string_view name, bool value) { Put(name, Boolean(value)); }
  void Put(std::string_view name, int64_t value) { Put(name, Integer(value)); }
  void Put(std::string_view name, int32_t value) { Put(name, Integer(value)); }
  void Put(std::string_view name, uint32_t value) { Put(name, Integer(value)); }
  void Put(std::string_view name, double value) { Put(name, Float(value)); }
  void Put(std::string_view name, TCurrency value) { Put(name, Currency(value)); }

  // Array items (empty for other kinds).
  const TItems& Items() const { return FItems; }
  void Add(IJsonValue value);

  // An integer literal too large for 64 bits, kept as written so that it can
  // be echoed unchanged; empty otherwise. Such a value is of kind jkFloat.
  const std::string& IntegerLiteral() const;
  static IJsonValue BigInteger(double value, std::string literal);

 private:
  explicit TJsonValue(TJsonKind kind) : FKind(kind) {}

  TJsonKind FKind;
  int64_t FInt = 0;  // boolean, integer, currency
  double FFloat = 0.0;
  std::string FText;  // string; literal of a big integer
  TMembers FMembers;
  TItems FItems;
};

// The first complete JSON value in text (anything after it is ignored), or
// none when text does not start with one, is not valid UTF-8, or nests
// deeper than JSON_MAX_DEPTH.
IJsonValue JsonParse(std::string_view text);
// The same checks, but only the outer levels are built: values nested more
// than keepLevels containers deep are left out, so a container at that
// depth is kept empty. For looking at a long message's outline.
IJsonValue JsonParseOutline(std::string_view text, size_t keepLevels);
// Whether text starts with a value that JsonParse accepts, found without
// building it or converting its numbers. With outline given, it receives the
// text of that value with the insides of the containers nested keepLevels
// deep left out (they read as empty), ready for JsonParse; empty on failure.
bool JsonScan(std::string_view text, size_t keepLevels = SIZE_MAX, std::string* outline = nullptr);
// What JsonScan finds text to start with, told apart by whether it is an
// object; for an object, member receives the value of its member called
// name (the last one, as JsonParse keeps it) (none when it has none). Only that member's value is built,
// so a long answer is checked at the scanner's pace.
enum class TJsonShape { Invalid, NotObject, Object };
TJsonShape JsonScanMember(std::string_view text, std::string_view name, IJsonValue& member);

// The member of an object, or none (also when value is none or no object).
// A member holding JSON null is present.
IJsonValue JsonMember(const IJsonValue& value, std::string_view name);
// The text form of the member's value; empty when missing.
std::string JsonMemberAsText(const IJsonValue& value, std::string_view name);
// The member's value as a signed 64-bit number (see JsonAsInteger); 0 when
// missing.
int64_t JsonMemberAsInteger(const IJsonValue& value, std::string_view name);

// The text form: a string's content, empty for null (and none), otherwise the
// compact text with only the quotation mark, backslash and NUL escaped.
std::string JsonAsText(const IJsonValue& value);
// A value as an integer: floats round to nearest, halves to even (clamped to
// the 64-bit range, NaN 0); currency likewise after division by 10,000;
// booleans 1 or 0; a string that is wholly an optional sign and decimal
// digits its number (0 when it does not fit); everything else 0.
int64_t JsonAsInteger(const IJsonValue& value);
// Whether text is wholly an optional sign and decimal digits that fit in 64
// bits; stores the number in *result.
bool TextToInt64(std::string_view text, int64_t* result);

// The compact text with the full escaping: what goes on the wire and into
// log lines. Plain ASCII whatever the content. Raises EJsonError for a value
// nested deeper than JSON_MAX_WRITE_DEPTH.
std::string JsonSerialize(const IJsonValue& value);

// The text JsonSerialize writes for the value at path (member names, from
// the top) of what JsonParse makes of text, written as the text is read
// instead of from a tree: for taking in a long message's part. None when
// JsonParse would fail or there is no such value.
std::optional<std::string> JsonCanonicalText(std::string_view text, std::span<const std::string_view> path = {});

// Pieces of the writer, for callers that format numbers or names themselves.
std::string JsonFloatText(double value);
std::string JsonCurrencyText(TCurrency value);
// A member name's position key: members are written in descending order of
// this hash, computed over the name's UTF-16 code units.
uint32_t JsonNameHash(std::string_view name);
// Whether member name a is written before b (the order JsonNameHash
// gives, ties broken by the UTF-16 code units).
bool JsonNameBefore(std::string_view a, std::string_view b);
// UTF-8 to UTF-16 code units. A byte that does not start a valid sequence
// stands for itself (as in an 8-bit code page), so nothing is dropped.
std::u16string Utf8ToUtf16(std::string_view text);

// The variant a parsed-call handler returns.
enum TVarType {
  varEmpty,
  varNull,
  varShortInt,  // signed 8 bits
  varSmallint,  // signed 16 bits
  varInteger,   // signed 32 bits
  varInt64,
  varByte,      // unsigned 8 bits
  varWord,      // unsigned 16 bits
  varLongWord,  // unsigned 32 bits
  varSingle,
  varDouble,
  varCurrency,
  varString,
  varBoolean,
  varDate,      // days since 1899-12-30, fraction the time of day
  varUnknown,   // reference to an interface object
  varDispatch,  // reference to a dispatch interface
  varError,     // error code
  varByRef,     // reference to another variant
};

class TVariant {
 public:
  TVariant() = default;
  TVariant(bool v) : FType(varBoolean), FInt(v ? 1 : 0) {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  TVariant(T v) : FType(IntegerType<T>()), FInt(static_cast<int64_t>(v)) {}
  TVariant(float v) : FType(varSingle), FFloat(v) {}
  TVariant(double v) : FType(varDouble), FFloat(v) {}
  TVariant(TCurrency v) : FType(varCurrency), FInt(v.Value) {}
  TVariant(std::string v) : FType(varString), FText(std::move(v)) {}
  TVariant(const char* v) : FType(varString), FText(v ? v : "") {}
  TVariant(IJsonValue v) : FType(varUnknown), FIntf(std::move(v)) {}
  TVariant(std::shared_ptr<IInterface> v) : FType(varUnknown), FIntf(std::move(v)) {}

  static TVariant Null() { return Make(varNull); }
  static TVariant DateTime(double v) { TVariant r = Make(varDate); r.FFloat = v; return r; }
  static TVariant Dispatch(std::shared_ptr<IInterface> v) { TVariant r = Make(varDispatch); r.FIntf = std::move(v); return r; }
  static TVariant ErrorCode(int32_t code) { TVariant r = Make(varError); r.FInt = code; return r; }
  // Refers to another variant, which must outlive this one.
  static TVariant ByRef(const TVariant* v) { TVariant r = Make(varByRef); r.FRef = v; return r; }

  TVarType GetType() const { return FType; }
  bool IsEmpty() const { return FType == varEmpty; }
  int64_t AsInt64() const { return FInt; }
  double AsDouble() const { return FFloat; }
  const std::string& AsString() const { return FText; }
  const std::shared_ptr<IInterface>& AsInterface() const { return FIntf; }
  const TVariant* AsRef() const { return FRef; }

 private:
  static TVariant Make(TVarType type) { TVariant r; r.FType = type; return r; }
  template <class T>
  static constexpr TVarType IntegerType() {
    static_assert(sizeof(T) <= 4 || std::is_signed_v<T>, "a variant holds unsigned integers of up to 32 bits");
    if constexpr (std::is_signed_v<T>)
      return sizeof(T) == 1 ? varShortInt : sizeof(T) == 2 ? varSmallint : sizeof(T) == 4 ? varInteger : varInt64;
    else
      return sizeof(T) == 1 ? varByte : sizeof(T) == 2 ? varWord : varLongWord;
  }

  TVarType FType = varEmpty;
  int64_t FInt = 0;
  double FFloat = 0.0;
  std::string FText;
  std::shared_ptr<IInterface> FIntf;
  const TVariant* FRef = nullptr;
};

// The JSON value a variant holds (kind varUnknown referring to a JSON
// value), or none.
IJsonValue VariantAsIJsonValue(const TVariant& v);
// Puts v into so as member name: a held JSON value by reference, scalars as
// their JSON kind, nothing for empty and null. Raises EUnsupportedType for a
// date-time, a non-JSON interface, a dispatch interface, an error code or a
// reference to a variant; so is then unchanged.
void AddVariantToJsonValue(const IJsonValue& so, std::string_view name, const TVariant& v);

// The text JsonSerialize writes for the member AddVariantToJsonValue would
// put for v (as "result"), without an object around it: false (out
// untouched) for empty and null, which put nothing. Raises EUnsupportedType
// where AddVariantToJsonValue does.
bool JsonVariantText(const TVariant& v, std::string& out);

// Record writing. A record type lists its fields, in declaration order, in
// an ADL-visible function
//     void WriteJsonFields(const TMyRecord& r, TJsonRecordWriter& w)
//     { w.Field("Name", r.Name).Field("Items", r.Items); }
// and RecordToJson turns it into an object: booleans as true/false, integers
// and enumerations as integers, floats, currency, text, vectors as arrays
// (empty ones as []), nested records as objects.
class TJsonRecordWriter;

template <class T>
concept JsonRecord = requires(const T& r, TJsonRecordWriter& w) { WriteJsonFields(r, w); };

template <class T>
IJsonValue JsonFieldValue(const T& value);

class TJsonRecordWriter {
 public:
  TJsonRecordWriter() : FObject(TJsonValue::NewObject()) {}
  template <class T>
  TJsonRecordWriter& Field(std::string_view name, const T& value) {
    FObject->Put(name, JsonFieldValue(value));
    return *this;
  }
  const IJsonValue& Result() const { return FObject; }

 private:
  IJsonValue FObject;
};

template <class T>
IJsonValue RecordToJson(const T& record) {
  TJsonRecordWriter w;
  WriteJsonFields(record, w);
  return w.Result();
}

namespace JsonDetail {
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
}  // namespace JsonDetail

template <class T>
IJsonValue JsonFieldValue(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return TJsonValue::Boolean(value);
  } else if constexpr (std::is_enum_v<T>) {
    return TJsonValue::Integer(static_cast<int64_t>(static_cast<std::underlying_type_t<T>>(value)));
  } else if constexpr (std::is_integral_v<T>) {
    static_assert(sizeof(T) <= 4 || std::is_signed_v<T>, "64-bit unsigned fields have no JSON form");
    return TJsonValue::Integer(static_cast<int64_t>(value));
  } else if constexpr (std::is_floating_point_v<T>) {
    return TJsonValue::Float(static_cast<double>(value));
  } else if constexpr (std::is_same_v<T, TCurrency>) {
    return TJsonValue::Currency(value);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return TJsonValue::String(std::string(std::string_view(value)));
  } else if constexpr (JsonDetail::IsVector<T>::value) {
    IJsonValue array = TJsonValue::NewArray();
    for (const auto& item : value) array->Add(JsonFieldValue(item));
    return array;
  } else {
    static_assert(JsonRecord<T>, "a record field needs a WriteJsonFields for its type");
    return RecordToJson(value);
  }
}
