// Handler results (variants) into JSON members.
#include "diagnostics/Format.h"
#include "Shared/JSON.h"

IJsonValue VariantAsIJsonValue(const TVariant& v) {
  if (v.GetType() != varUnknown) return nullptr;
  return std::dynamic_pointer_cast<TJsonValue>(v.AsInterface());
}

void AddVariantToJsonValue(const IJsonValue& so, std::string_view name, const TVariant& v) {
  if (IJsonValue json = VariantAsIJsonValue(v)) {
    so->Put(name, std::move(json));
    return;
  }
  switch (v.GetType()) {
    case varEmpty:
    case varNull: return;
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord: so->Put(name, TJsonValue::Integer(v.AsInt64())); return;
    case varSingle:
    case varDouble: so->Put(name, TJsonValue::Float(v.AsDouble())); return;
    case varCurrency: so->Put(name, TJsonValue::Currency(TCurrency{v.AsInt64()})); return;
    case varString: so->Put(name, TJsonValue::String(v.AsString())); return;
    case varBoolean: so->Put(name, TJsonValue::Boolean(v.AsInt64() != 0)); return;
    case varDate:
    case varUnknown:
    case varDispatch:
    case varError:
    case varByRef: break;
  }
  throw EUnsupportedType(FormatV("Can't convert variant \"%s\"", name));
}

bool JsonVariantText(const TVariant& v, std::string& out) {
  if (const IJsonValue json = VariantAsIJsonValue(v)) {
    out = JsonSerialize(json);
    return true;
  }
  switch (v.GetType()) {
    case varEmpty:
    case varNull: return false;
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord: out = std::to_string(v.AsInt64()); return true;
    case varSingle:
    case varDouble: out = JsonFloatText(v.AsDouble()); return true;
    case varCurrency: out = JsonCurrencyText(TCurrency{v.AsInt64()}); return true;
    case varString: out = JsonStringText(v.AsString()); return true;
    case varBoolean: out = v.AsInt64() != 0 ? "true" : "false"; return true;
    case varDate:
    case varUnknown:
    case varDispatch:
    case varError:
    case varByRef: break;
  }
  throw EUnsupportedType("Can't convert variant \"result\"");
}
