"""The package installs into a fresh virtual environment without the
Python package index, exactly as the README says."""
import os
import shutil
import subprocess
import sys

from conftest import PYTHON_DIR

WHEELS = "/usr/share/python-wheels"


def test_pip_install_offline_into_a_venv(tmp_path):
    assert os.path.isdir(WHEELS) and any(n.startswith("wheel-") for n in os.listdir(WHEELS)), \
        "Debian's python3-wheel-whl is missing: scripts/bootstrap installs it"
    source = tmp_path / "python"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k != "PYTHONPATH"}
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-index", "--find-links", WHEELS, str(source)],
                         capture_output=True, text=True, env=env, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    check = subprocess.run([str(venv / "bin" / "python"), "-c", "import velmar, sys; print(velmar.__version__, "
                            "velmar.__file__.startswith(sys.prefix))"],
                           capture_output=True, text=True, env=env, cwd=str(tmp_path), timeout=60)
    assert check.stdout == "0.1.0 True\n", check.stderr
    demo = subprocess.run([str(venv / "bin" / "velmar-engine")], capture_output=True, text=True, env=env, timeout=60)
    assert demo.returncode == 2
    assert demo.stderr == "velmar.engine: no /RPC=PIPE on the command line: not started by the manager\n"
