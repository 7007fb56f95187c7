"""The engine's command line as the manager passes it (already split into
arguments, quotes removed)."""
import pytest

import velmar
from velmar import CommandLineError, is_option, parse_command_line

STANDARD = ["/RUN=YES", "/RPC=VelmarManager", "/RPCID=2", "/home/ana/my models/north.vm", "/RpcResponseTimeout=62"]


def test_the_standard_command_line():
    cl = parse_command_line(STANDARD)
    assert (cl.run, cl.pipe_name, cl.client_id, cl.model_path, cl.reply_timeout) == \
        (True, "VelmarManager", 2, "/home/ana/my models/north.vm", 62.0)
    assert cl.options == {} and cl.extra == []


@pytest.mark.parametrize("args, field, value", [
    (["/rpcid=7", "m.vm"], "client_id", 7),
    (["/RPCID=4294967295", "m.vm"], "client_id", 4294967295),
    (["-q", "--fast", "m.vm"], "extra", ["-q", "--fast"]),
    (["/Years=5", "/X", "m.vm"], "options", {"years": "5", "x": ""}),
    (["/models/north.vm"], "model_path", "/models/north.vm"),
    (["/2024/run.vm"], "model_path", "/2024/run.vm"),
    (["/a-b=1"], "model_path", "/a-b=1"),
    (["relative dir/m.vm"], "model_path", "relative dir/m.vm"),
    (["/RpcResponseTimeout=0", "m.vm"], "reply_timeout", 0.0),
    (["/RUN=no", "m.vm"], "run", False),
])
def test_arguments(args, field, value):
    assert getattr(parse_command_line(args), field) == value


@pytest.mark.parametrize("arg, option", [
    ("/RPC=VelmarManager", True), ("/RUN", True), ("/x_1=a/b", True),
    ("/models/north.vm", False), ("/", False), ("/1=2", False), ("/tmp", True),
])
def test_switch_or_path(arg, option):
    assert is_option(arg) is option


@pytest.mark.parametrize("args, message", [
    (["/RPCID=x", "m.vm"], "/RPCID"),
    (["/RPCID=-1", "m.vm"], "/RPCID"),
    (["/RPCID=4294967296", "m.vm"], "too large"),
    (["a.vm", "b.vm"], "more than one model file"),
])
def test_bad_arguments(args, message):
    with pytest.raises(CommandLineError, match=message):
        parse_command_line(args)


@pytest.mark.parametrize("argv, message", [
    (["engine", "/RPCID=1", "m.vm"], "/RPC="),
    (["engine", "/RPC=VelmarManager", "m.vm"], "/RPCID"),
])
def test_from_command_line_needs_the_pipe_and_the_id(argv, message):
    with pytest.raises(CommandLineError, match=message):
        velmar.Engine.from_command_line(argv, {})
