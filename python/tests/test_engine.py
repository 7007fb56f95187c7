"""velmar.Engine against a scripted stand-in for the manager's socket:
framing of long messages both ways, a manager that hangs up, a reply that
does not come, cancelled runs, and the calls' exact requests."""
import json
import threading
import time

import pytest

import velmar
from velmar.framing import END_PACKET, MAX_BUFFER, START_PACKET, packets_for
from conftest import FakeManager


def read_message(conn):
    """One whole message from the engine, and the packets it came in."""
    first = conn.recv(1 << 20)
    if first != START_PACKET:
        return first, [first]
    packets, parts = [first], []
    while True:
        p = conn.recv(1 << 20)
        packets.append(p)
        if p == END_PACKET:
            return b"".join(parts), packets
        parts.append(p)


def reply(conn, request, result, extra=b""):
    rid = json.loads(request)["id"]
    text = velmar.jsontext.dumps({"jsonrpc": "2.0", "id": rid, "result": result}).encode() + extra
    for packet in packets_for(text):
        conn.send(packet)


def engine(**kw):
    return velmar.Engine(client_id=3, reply_timeout=kw.pop("reply_timeout", 5), **kw)


def test_each_call_sends_its_request(namespace):
    seen = []

    def script(conn):
        for _ in range(7):
            request, _ = read_message(conn)
            seen.append(json.loads(request))
            reply(conn, request, True)

    fake = FakeManager(namespace, script)
    with engine() as e:
        e.initialize()
        e.start_simulation({"Years": 2})
        e.start_time_step()
        e.stop_time_step({"Timestep": 1})
        e.echo(42)
        e.stop_simulation()
        e.finalize()
    fake.finish()
    assert [(r["id"], r["method"], r["params"]) for r in seen] == [
        (1, "Initialize", {"ClientID": 3}),
        (2, "StartSimulation", {"ClientID": 3, "VelmarStateVarsGlobal": {"Years": 2}}),
        (3, "StartTimeStep", {"ClientID": 3}),
        (4, "StopTimeStep", {"ClientID": 3, "VelmarStateVarsPop": {"Timestep": 1}}),
        (5, "Echo", {"ClientID": 3, "Value": 42}),
        (6, "StopSimulation", {"ClientID": 3}),
        (7, "Finalize", {"ClientID": 3}),
    ]
    assert all(r["jsonrpc"] == "2.0" for r in seen)


@pytest.mark.parametrize("request_size, reply_size", [
    (100, 65534 - 60),
    (65534 * 3 + 17, 100),
    (300000, 400000),
    (2_000_000, 2_000_000),
])
def test_long_messages_both_ways(namespace, request_size, reply_size):
    got = {}

    def script(conn):
        request, packets = read_message(conn)
        got["packets"] = packets
        got["request"] = request
        rid = json.loads(request)["id"]
        head = '{"id":%d,"jsonrpc":"2.0","result":"' % rid
        text = (head + "y" * (reply_size - len(head) - 2) + '"}').encode()
        got["reply"] = text
        got["value"] = "y" * (reply_size - len(head) - 2)
        for packet in packets_for(text):
            conn.send(packet)

    fake = FakeManager(namespace, script)
    with engine() as e:
        pad = "x" * max(0, request_size - 90)
        result = e.echo(pad)  # any value does; the size is what counts
        raw = e.last_reply
    fake.finish()
    request = got["request"]
    assert json.loads(request)["params"]["Value"] == pad
    data = got["packets"]
    if len(request) <= MAX_BUFFER:
        assert data == [request]
    else:
        assert data[0] == START_PACKET and data[-1] == END_PACKET
        assert [len(p) for p in data[1:-1]] == [len(p) for p in packets_for(request)[1:-1]]
        assert max(len(p) for p in data[1:-1]) == MAX_BUFFER
    assert raw == got["reply"] and len(raw) == reply_size
    assert result == got["value"]


def test_manager_hanging_up_mid_call(namespace):
    def script(conn):
        read_message(conn)  # and go without a word

    fake = FakeManager(namespace, script)
    with engine() as e:
        with pytest.raises(velmar.ManagerHungUp):
            e.initialize()
    fake.finish()


def test_manager_hanging_up_in_the_middle_of_a_long_reply(namespace):
    def script(conn):
        read_message(conn)
        conn.send(START_PACKET)
        conn.send(b"x" * 1000)

    fake = FakeManager(namespace, script)
    with engine() as e:
        with pytest.raises(velmar.ManagerHungUp):
            e.initialize()
    fake.finish()


def test_reply_time_out(namespace):
    release = threading.Event()

    def script(conn):
        read_message(conn)
        release.wait(10)

    fake = FakeManager(namespace, script)
    with engine(reply_timeout=0.5) as e:
        start = time.monotonic()
        with pytest.raises(velmar.ReplyTimeout, match="no reply to request 1 within 0.5 seconds"):
            e.initialize()
        took = time.monotonic() - start
    release.set()
    fake.finish()
    assert 0.45 <= took < 2.0


def test_late_reply_to_an_abandoned_call_is_skipped(namespace):
    def script(conn):
        first, _ = read_message(conn)
        second, _ = read_message(conn)
        reply(conn, first, "late")
        reply(conn, second, "mine")

    fake = FakeManager(namespace, script)
    with engine(reply_timeout=0.3) as e:
        with pytest.raises(velmar.ReplyTimeout):
            e.echo(1)
        e.reply_timeout = 5
        assert e.echo(2) == "mine"
    fake.finish()


CLEARED_FALSE = {"modifier": velmar.cleared_modifier(), "result": False}


@pytest.mark.parametrize("answer, expected", [
    (b'{"result":false,"id":1,"jsonrpc":"2.0"}', False),
    (velmar.jsontext.dumps({"result": CLEARED_FALSE, "id": 1, "jsonrpc": "2.0"}).encode(), False),
    (b"", False),                                   # a cancelled run with a processor
    (b"\r\n", False),
    (velmar.jsontext.dumps({"result": {"modifier": velmar.cleared_modifier(), "result": True},
                            "id": 1, "jsonrpc": "2.0"}).encode() + b"\r\n",
     {"modifier": velmar.cleared_modifier(), "result": True}),
])
def test_start_time_step_answers(namespace, answer, expected):
    def script(conn):
        read_message(conn)
        conn.send(answer)

    fake = FakeManager(namespace, script)
    with engine() as e:
        assert e.start_time_step() == expected
        assert e.cancelled is (expected is False)
    fake.finish()


@pytest.mark.parametrize("answer, result, cancelled", [
    (b'{"result":true,"id":1,"jsonrpc":"2.0"}', True, False),
    (b'{"result":false,"id":1,"jsonrpc":"2.0"}', False, True),
    (b"", False, True),
    (b'{"id":1,"jsonrpc":"2.0"}', None, False),
    (b'{"jsonrpc":"2.0","result":true,"id":1}\n', True, False),   # a processor's layout and line end
])
def test_other_calls_return_the_result(namespace, answer, result, cancelled):
    def script(conn):
        read_message(conn)
        conn.send(answer)

    fake = FakeManager(namespace, script)
    with engine() as e:
        assert e.stop_time_step({}) is result
        assert e.cancelled is cancelled
    fake.finish()


def test_error_reply_raises(namespace):
    def script(conn):
        read_message(conn)
        conn.send(b'{"id":1,"error":{"message":"No methods are supported!","code":-32601},"jsonrpc":"2.0"}')

    fake = FakeManager(namespace, script)
    with engine() as e:
        with pytest.raises(velmar.RpcErrorReply) as info:
            e.initialize()
    fake.finish()
    assert (info.value.code, info.value.message) == (-32601, "No methods are supported!")


def test_connect_waits_for_the_manager_to_listen(namespace):
    def script(conn):
        request, _ = read_message(conn)
        reply(conn, request, True)

    fake = FakeManager(namespace, script, listen=False)
    timer = threading.Timer(0.3, fake.listen)
    timer.start()
    start = time.monotonic()
    with engine() as e:
        assert e.initialize() is True
    fake.finish()
    assert time.monotonic() - start >= 0.25


def test_connect_gives_up(namespace):
    start = time.monotonic()
    with pytest.raises(velmar.ReplyTimeout, match="nobody listens"):
        velmar.Engine(client_id=0, reply_timeout=0.3)
    assert time.monotonic() - start < 2


def test_from_command_line(namespace):
    def script(conn):
        request, _ = read_message(conn)
        reply(conn, request, 5)

    fake = FakeManager(namespace, script, pipe="OtherPipe")
    argv = ["engine", "-q", "/RUN=YES", "/RPC=OtherPipe", "/RPCID=4", "/tmp/a b/m.vm", "/RpcResponseTimeout=9"]
    with velmar.Engine.from_command_line(argv, {"VELMAR_PIPE_NAMESPACE": namespace}) as e:
        assert (e.client_id, e.model_path, e.reply_timeout, e.pipe_name) == (4, "/tmp/a b/m.vm", 9.0, "OtherPipe")
        assert e.echo(5) == 5
    fake.finish()


@pytest.mark.parametrize("keyword, waits", [
    ({}, False),                        # the command line's 1 s
    ({"reply_timeout": 5}, True),       # longer than the command line's
    ({"reply_timeout": None}, True),    # for ever
])
def test_from_command_line_reply_timeout_keyword(namespace, keyword, waits):
    release = threading.Event()

    def script(conn):
        request, _ = read_message(conn)
        release.wait(1.6)
        try:
            reply(conn, request, 7)
        except BrokenPipeError:         # an engine that gave up has gone
            assert not waits

    fake = FakeManager(namespace, script)
    argv = ["engine", "/RUN=YES", "/RPC=VelmarManager", "/RPCID=0", "m.vm", "/RpcResponseTimeout=1"]
    with velmar.Engine.from_command_line(argv, {"VELMAR_PIPE_NAMESPACE": namespace}, **keyword) as e:
        assert e.reply_timeout == keyword.get("reply_timeout", 1.0)
        if waits:
            assert e.echo(7) == 7
        else:
            with pytest.raises(velmar.ReplyTimeout, match="no reply to request 1 within 1 seconds"):
                e.echo(7)
    release.set()
    fake.finish()


@pytest.mark.parametrize("bad", [0, -1, float("nan")])
def test_from_command_line_refuses_a_reply_timeout_that_is_no_wait(namespace, bad):
    argv = ["engine", "/RUN=YES", "/RPC=VelmarManager", "/RPCID=0", "m.vm"]
    with pytest.raises(ValueError, match="reply_timeout must be more than 0 seconds"):
        velmar.Engine.from_command_line(argv, {"VELMAR_PIPE_NAMESPACE": namespace}, reply_timeout=bad)
