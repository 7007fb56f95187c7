"""velmar.Processor: the reply line for each request line, exact bytes."""
import io
import json
import os
import subprocess
import sys

import pytest

import velmar
from conftest import PYTHON_DIR

CLEARED = ('{"modifier":{"Abund":[],"ChangeK":false,"ChangeVital":false,"Active":false,"K":[],'
           '"ChangeAbund":false,"ChangeDisp":false,"Vital":[],"Timestep":0,"Complete":false,"Disp":[]},'
           '"result":true}')


def req(method, id=7, **params):
    return json.dumps({"jsonrpc": "2.0", "id": id, "method": method, "params": params})


# What the manager answers these calls itself when it runs without a
# processor (the whole-run test compares the same table with the manager).
DEFAULTS = [
    (req("Initialize", ClientID=0), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("Finalize", ClientID=0), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("StopSimulation", ClientID=0), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("StartSimulation", ClientID=0, VelmarStateVarsGlobal={"Years": 3}), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("StartSimulation", ClientID=0), '{"result":false,"id":7,"jsonrpc":"2.0"}'),
    (req("StartSimulation", ClientID=0, VelmarStateVarsGlobal=None), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("StopTimeStep", ClientID=0, VelmarStateVarsPop=[1]), '{"result":true,"id":7,"jsonrpc":"2.0"}'),
    (req("StopTimeStep", ClientID=0), '{"result":false,"id":7,"jsonrpc":"2.0"}'),
    (req("StartTimeStep", ClientID=0), '{"result":%s,"id":7,"jsonrpc":"2.0"}' % CLEARED),
    (req("starttimestep", ClientID=0), '{"result":%s,"id":7,"jsonrpc":"2.0"}' % CLEARED),
    (req("Echo", ClientID=0, Value=42), '{"result":42,"id":7,"jsonrpc":"2.0"}'),
    (req("ECHO", ClientID=0, Value=-5), '{"result":-5,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value="12"), '{"result":12,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=2.5), '{"result":2,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=4294967297), '{"result":1,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=2147483648), '{"result":-2147483648,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0), '{"result":0,"id":7,"jsonrpc":"2.0"}'),
    # How the manager reads a number: floats rounded (halves to even) and
    # held to 64 bits, then the low 32 bits; a string only when it spells a
    # whole number.
    (req("Echo", ClientID=0, Value=3.7), '{"result":4,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=-2.5), '{"result":-2,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value="12.5"), '{"result":0,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=True), '{"result":1,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=1e300), '{"result":-1,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=-1e300), '{"result":0,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=1.0e19), '{"result":-1,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=10 ** 19), '{"result":-1,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value=-(10 ** 19)), '{"result":0,"id":7,"jsonrpc":"2.0"}'),
    (req("Echo", ClientID=0, Value="99999999999999999999"), '{"result":0,"id":7,"jsonrpc":"2.0"}'),
    (req("Bogus", ClientID=0), '{"id":7,"jsonrpc":"2.0"}'),
    (req("Initialize"), '{"result":false,"id":7,"jsonrpc":"2.0"}'),
    (req("Initialize", id="12", ClientID=0), '{"result":true,"id":12,"jsonrpc":"2.0"}'),
    (req("Initialize", id="abc", ClientID=0), '{"result":true,"id":"abc","jsonrpc":"2.0"}'),
    (req("Initialize", id=None, ClientID=0), '{"result":true,"id":null,"jsonrpc":"2.0"}'),
    ('{"jsonrpc":"2.0","id":7,"method":"Initialize","params":[1]}', '{"result":false,"id":7,"jsonrpc":"2.0"}'),
    ('{"jsonrpc":"1.0","id":7,"method":"Initialize","params":{"ClientID":0}}',
     '{"id":7,"error":{"message":"Expected version \\"2.0\\", got \\"1.0\\"","code":-32600},"jsonrpc":"2.0"}'),
    ('{"jsonrpc":2.0,"id":7,"method":"Initialize"}',
     '{"id":7,"error":{"message":"Expected version \\"2.0\\", got \\"2\\"","code":-32600},"jsonrpc":"2.0"}'),
    ('{"id":7,"method":"Initialize"}',
     '{"id":7,"error":{"message":"Expected version \\"2.0\\", got \\"\\"","code":-32600},"jsonrpc":"2.0"}'),
    ('{"jsonrpc":"2.0","method":"Initialize","params":{"ClientID":0}}',
     '{"id":null,"error":{"message":"ID is missing","code":-32600},"jsonrpc":"2.0"}'),
    ('{"jsonrpc":"2.0","id":7,"params":{"ClientID":0}}',
     '{"id":7,"error":{"message":"Method is missing","code":-32600},"jsonrpc":"2.0"}'),
    ("not json", '{"id":null,"error":{"message":"Parse error","code":-32700},"jsonrpc":"2.0"}'),
    ("", '{"id":null,"error":{"message":"Parse error","code":-32700},"jsonrpc":"2.0"}'),
]


@pytest.mark.parametrize("line, reply", DEFAULTS)
def test_default_replies(line, reply):
    assert velmar.default_reply(line) == reply
    assert velmar.Processor().reply(line) == reply


def serve(processor, lines, tail=b""):
    out = io.BytesIO()
    data = b"".join(line.encode() + b"\r\n" for line in lines) + tail
    answered = processor.serve(io.BytesIO(data), out)
    return answered, out.getvalue()


def test_handlers_choose_the_result_and_the_id_is_echoed():
    p = velmar.Processor()
    seen = []

    @p.on("StartTimeStep")
    def start(request):
        seen.append((request.method, request.client_id, request.id, request.params))
        return velmar.modifier_result(k=[500, 20], timestep=3)

    @p.on("echo")
    def echo(request):
        return velmar.NO_RESULT

    n, out = serve(p, [req("StartTimeStep", id="41", ClientID=2), req("Echo", id=8, ClientID=2, Value=1),
                       req("Initialize", id=9, ClientID=2)])
    assert n == 3
    assert out == (
        b'{"result":{"modifier":{"Abund":[],"ChangeK":true,"ChangeVital":false,"Active":true,"K":[500,20],'
        b'"ChangeAbund":false,"ChangeDisp":false,"Vital":[],"Timestep":3,"Complete":true,"Disp":[]},'
        b'"result":true},"id":41,"jsonrpc":"2.0"}\n'
        b'{"id":8,"jsonrpc":"2.0"}\n'
        b'{"result":true,"id":9,"jsonrpc":"2.0"}\n')
    assert seen == [("StartTimeStep", 2, 41, {"ClientID": 2})]


def test_a_handler_may_answer_with_an_error():
    p = velmar.Processor()

    @p.on("Initialize")
    def init(request):
        raise velmar.RpcError(-32000, "not today")

    assert p.reply(req("Initialize", ClientID=0)) == \
        '{"id":7,"error":{"message":"not today","code":-32000},"jsonrpc":"2.0"}'


def test_a_failing_handler_is_reported_and_gets_the_default_reply():
    err = io.StringIO()
    p = velmar.Processor(stderr=err)

    @p.on("StopTimeStep")
    def stop(request):
        return request.params["VelmarStateVarsPop"]["Abund"][5]

    line = req("StopTimeStep", ClientID=1, VelmarStateVarsPop={"Abund": []})
    assert p.reply(line) == '{"result":true,"id":7,"jsonrpc":"2.0"}'
    assert "the handler for StopTimeStep failed on the request " + line in err.getvalue()
    assert "IndexError" in err.getvalue()


@pytest.mark.parametrize("close, lines, tail, answered", [
    (None, [req("Initialize", ClientID=0)], b"", 1),
    ("QUIT", [req("Initialize", ClientID=0), "QUIT", req("Finalize", ClientID=0)], b"", 1),
    ("QUIT", [req("Initialize", ClientID=0)], b"  QUIT \r\n", 1),
    (None, [req("Initialize", ClientID=0), "QUIT"], b"", 2),                   # no close command: a parse error
    (None, [], b'{"jsonrpc":"2.0","id":1,"method":"Finalize","params":{"ClientID":0}}', 1),  # no line end
])
def test_end_of_the_conversation(close, lines, tail, answered):
    n, out = serve(velmar.Processor(close_command=close), lines, tail)
    assert n == answered
    assert out.count(b"\n") == answered


def test_line_ends_are_taken_off_and_a_cr_inside_kept_out_of_the_reply():
    n, out = serve(velmar.Processor(), [], b'{"jsonrpc":"2.0","id":3,"method":"Echo","params":{"ClientID":0,"Value":9}}\n')
    assert out == b'{"result":9,"id":3,"jsonrpc":"2.0"}\n'


SCRIPT = r'''
import os, sys, velmar
p = velmar.Processor(close_command="QUIT")

@p.on("Echo")
def echo(request):
    print("a stray print")
    sys.stdout.write("more\n")
    os.write(1, b"written to descriptor 1\n")
    return 5

@p.on("Finalize")
def fin(request):
    raise RuntimeError("boom")

p.run()
print("after the run")
'''


def test_standard_output_carries_replies_only():
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    lines = [req("Echo", id=1, ClientID=0, Value=1), req("Finalize", id=2, ClientID=0), "QUIT"]
    proc = subprocess.run([sys.executable, "-c", SCRIPT], input="".join(l + "\r\n" for l in lines).encode(),
                          capture_output=True, env=env, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b'{"result":5,"id":1,"jsonrpc":"2.0"}\n{"result":true,"id":2,"jsonrpc":"2.0"}\n'
    err = proc.stderr.decode()
    for text in ("a stray print", "more", "written to descriptor 1", "RuntimeError: boom",
                 "the handler for Finalize failed on the request " + lines[1], "after the run"):
        assert text in err


@pytest.mark.parametrize("kwargs, modifier", [
    ({}, {}),
    ({"abund": [[10, 2], 7], "timestep": 4},
     {"ChangeAbund": True, "Complete": True, "Active": True, "Abund": [[10, 2], [7]], "Timestep": 4}),
    ({"vital": [[[0.3, 0.1]]]}, {"ChangeVital": True, "Complete": True, "Active": True, "Vital": [[[0.3, 0.1]]]}),
    ({"k": [500], "disp": [0.25, 0]}, {"ChangeK": True, "ChangeDisp": True, "Complete": True, "Active": True,
                                        "K": [500], "Disp": [0.25, 0.0]}),
    ({"k": [500], "change_k": False, "active": True}, {"K": [500], "Active": True}),
    ({"k": [500], "complete": False}, {"K": [500], "ChangeK": True, "Active": True}),
])
def test_modifier_result(kwargs, modifier):
    expected = dict(velmar.cleared_modifier(), **modifier)
    assert velmar.modifier_result(**kwargs) == {"modifier": expected, "result": True}


@pytest.mark.parametrize("kwargs, error", [
    ({"abund": [[-1]]}, ValueError),
    ({"abund": [[1.5]]}, ValueError),
    ({"k": [2 ** 32]}, ValueError),
    ({"k": [True]}, TypeError),
    ({"disp": [float("nan")]}, TypeError),
    ({"timestep": -1}, ValueError),
])
def test_modifier_result_refuses_what_the_engine_cannot_read(kwargs, error):
    with pytest.raises(error):
        velmar.modifier_result(**kwargs)


def test_result_false_ends_the_run_for_that_engine():
    assert velmar.modifier_result(result=False)["result"] is False
