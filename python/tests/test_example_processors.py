"""The example processors answer the engines' calls, line for line, as the
manager would when they change nothing (R: same JSON, its own layout)."""
import json
import os
import shutil
import subprocess
import sys

import velmar
from conftest import PYTHON_DIR, REPO
from test_processor import req

PROCESSORS = os.path.join(REPO, "examples", "processors")

# The calls engines make, and requests the manager itself would refuse.
LINES = [
    req("Initialize", ClientID=0),
    req("StartSimulation", ClientID=0, VelmarStateVarsGlobal={"Years": 3}),
    req("StartSimulation", ClientID=0),
    req("StartTimeStep", ClientID=0),
    req("StopTimeStep", id=8, ClientID=0, VelmarStateVarsPop={"Timestep": 1, "Abund": [[100, 20]], "K": [1000]}),
    req("StopTimeStep", ClientID=0),
    req("Echo", ClientID=0, Value=42),
    req("Bogus", ClientID=0),
    req("Initialize", id="12", ClientID=1),
    req("Initialize"),
    '{"jsonrpc":"2.0","id":7,"params":{"ClientID":0}}',
    "not json",
    req("StopSimulation", ClientID=0),
    req("Finalize", ClientID=0),
]


def answers(command, lines):
    data = "".join(line + "\r\n" for line in lines) + "QUIT\r\n"
    proc = subprocess.run(command, input=data.encode(), capture_output=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.decode().split("\n")[:-1]


def test_r_example_answers_as_the_manager_would():
    assert shutil.which("Rscript"), "Rscript is missing: scripts/bootstrap installs r-base-core and r-cran-jsonlite"
    got = answers([os.path.join(PROCESSORS, "catastrophe.R"), "--probability=0"], LINES)
    assert len(got) == len(LINES)
    for line, reply in zip(LINES, got):
        assert json.loads(reply) == json.loads(velmar.default_reply(line)), line


def test_python_example_answers_as_the_manager_would_byte_for_byte():
    got = answers([sys.executable, os.path.join(PROCESSORS, "harvest.py")], LINES)
    assert got == [velmar.default_reply(line) for line in LINES]


def test_python_example_harvests_what_was_reported():
    got = answers([sys.executable, os.path.join(PROCESSORS, "harvest.py"), "--rate=0.25"],
                  [req("StopTimeStep", id=4, ClientID=2, VelmarStateVarsPop={"Timestep": 3, "Abund": [[100, 7], [1]]}),
                   req("StartTimeStep", id=5, ClientID=2), req("StartTimeStep", id=5, ClientID=1)])
    assert json.loads(got[1])["result"] == velmar.modifier_result(abund=[[75, 5], [0]], timestep=4)
    assert got[2] == velmar.default_reply(req("StartTimeStep", id=5, ClientID=1))


def test_r_example_strikes_with_its_seeded_probability():
    stop = req("StopTimeStep", id=4, ClientID=2, VelmarStateVarsPop={"Timestep": 3, "Abund": [[100, 7]]})
    start = req("StartTimeStep", id=5, ClientID=2)
    always = answers([os.path.join(PROCESSORS, "catastrophe.R"), "--probability=1", "--severity=0.5"], [stop, start])
    assert json.loads(always[1])["result"] == velmar.modifier_result(abund=[[50, 3]], timestep=4)
    # The same seed strikes the same steps, whatever else the run did.
    seeded = [os.path.join(PROCESSORS, "catastrophe.R"), "--probability=0.5", "--seed=3"]
    runs = [answers(seeded, [stop, start]) for _ in range(2)]
    assert runs[0] == runs[1]
