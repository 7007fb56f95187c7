// Handler results (variants) into JSON members.
#include "diagnostics/Format.h"
#include "Shared/JSON.h"

IJsonValue VariantAsIJsonValue(const TVariant& v) {
  if (v.GetType() != varUnknown) return nullptr;
  return std::dynamic_pointer_cast<TJsonValue>(v.AsInterface());
}

namespace {

// The JSON value a variant stands for: the held JSON value itself, a scalar
// of its kind, none for empty and null. Raises EUnsupportedType, naming the
// member, for a kind that has no JSON form.
IJsonValue VariantJson(const TVariant& v, std::string_view name) {
  if (IJsonValue json = VariantAsIJsonValue(v)) return json;
  switch (v.GetType()) {
    case varEmpty:
    case varNull: return nullptr;
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord: return TJsonValue::Integer(v.AsInt64());
    case varSingle:
    case varDouble: return TJsonValue::Float(v.AsDouble());
    case varCurrency: return TJsonValue::Currency(TCurrency{v.AsInt64()});
    case varString: return TJsonValue::String(v.AsString());
    case varBoolean: return TJsonValue::Boolean(v.AsInt64() != 0);
    case varDate:
    case varUnknown:
    case varDispatch:
    case varError:
    case varByRef: break;
  }
  throw EUnsupportedType(FormatV("Can't convert variant \"%s\"", name));
}

}  // namespace

void AddVariantToJsonValue(const IJsonValue& so, std::string_view name, const TVariant& v) {
  if (IJsonValue json = VariantJson(v, name)) so->Put(name, std::move(json));
}

bool JsonVariantText(const TVariant& v, std::string& out) {
  const IJsonValue json = VariantJson(v, "result");
  if (!json) return false;
  out = JsonSerialize(json);
  return true;
}
