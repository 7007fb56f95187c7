"""The manager's JSON text layout, reproduced: floats, escapes, member order,
and how ids and whole numbers are read."""
import pytest

from velmar import jsontext


@pytest.mark.parametrize("value, text", [
    (1.0, "1"),
    (0.5, "0.5"),
    (0.1 + 0.2, "0.3"),
    (2.5, "2.5"),
    (1e15, "1E15"),
    (1e14, "100000000000000"),
    (0.0001, "0.0001"),
    (0.00001, "1E-5"),
    (1.5e-7, "1.5E-7"),
    (-3.25, "-3.25"),
    (-0.0, "0"),
    (123456789012345.6, "123456789012346"),
    (999999999999999.9, "1E15"),
    (1 / 3, "0.333333333333333"),
    (-2.5e-300, "-2.5E-300"),
    (float("inf"), "null"),
])
def test_float_text(value, text):
    assert jsontext.float_text(value) == text


@pytest.mark.parametrize("value, text", [
    ("a/b", '"a\\/b"'),
    ("\u263a", '"\\u263a"'),
    ("\u00e9", '"\\u00e9"'),
    ("tab\tcr\rlf\nff\fbs\b", '"tab\\tcr\\rlf\\nff\\fbs\\b"'),
    ('q"b\\', '"q\\"b\\\\"'),
    ("\x01\x7f", '"\\u0001\x7f"'),
    ("\U0001F600", '"\\ud83d\\ude00"'),
    (True, "true"), (False, "false"), (None, "null"),
    (-5, "-5"), (2 ** 63, "9223372036854775808"),
    ([], "[]"), ({}, "{}"), ([1, [2.5, "x"]], '[1,[2.5,"x"]]'),
])
def test_dumps_values(value, text):
    assert jsontext.dumps(value) == text


@pytest.mark.parametrize("names, order", [
    (["jsonrpc", "id", "result"], ["result", "id", "jsonrpc"]),
    (["jsonrpc", "error", "id"], ["id", "error", "jsonrpc"]),
    (["code", "message"], ["message", "code"]),
    (["result", "modifier"], ["modifier", "result"]),
    (["ChangeAbund", "ChangeVital", "ChangeK", "ChangeDisp", "Timestep", "Complete", "Active",
      "Abund", "Vital", "K", "Disp"],
     ["Abund", "ChangeK", "ChangeVital", "Active", "K", "ChangeAbund", "ChangeDisp", "Vital", "Timestep",
      "Complete", "Disp"]),
])
def test_member_order_is_by_name_hash_not_insertion(names, order):
    text = jsontext.dumps({n: 0 for n in names})
    assert text == "{" + ",".join('"%s":0' % n for n in order) + "}"
    assert jsontext.dumps({n: 0 for n in reversed(names)}) == text


def test_equal_hashes_fall_back_to_the_names():
    # Members of one object are written in a total order, whatever the dict's.
    a = jsontext.dumps({"b": 1, "a": 2, "ab": 3})
    b = jsontext.dumps({"ab": 3, "a": 2, "b": 1})
    assert a == b


@pytest.mark.parametrize("request_id, echoed", [
    (7, 7), ("7", 7), ("-12", -12), ("+3", 3), (7.0, 7), (7.5, 7.5), ("abc", "abc"),
    (None, None), (True, True), ("9223372036854775808", "9223372036854775808"), ([1], [1]),
])
def test_reply_id_echoes_as_the_manager(request_id, echoed):
    assert jsontext.reply_id(request_id) == echoed
    assert type(jsontext.reply_id(request_id)) is type(echoed)


@pytest.mark.parametrize("value, n", [
    (None, 0), (42, 42), (2.5, 2), (3.5, 4), (-2.5, -2), (True, 1), (False, 0),
    ("17", 17), ("17x", 0), ("", 0), ([1], 0), ({"a": 1}, 0),
])
def test_as_integer(value, n):
    assert jsontext.as_integer(value) == n


@pytest.mark.parametrize("text, ok, value", [
    ('{"a":1}', True, {"a": 1}),
    ('  {"a":1} trailing words', True, {"a": 1}),
    ("[1,2]", True, [1, 2]),
    ("", False, None),
    ("{", False, None),
    ('{"a":NaN}', False, None),
    ("QUIT", False, None),
])
def test_parse_request_text(text, ok, value):
    assert jsontext.parse_request_text(text) == (ok, value)
