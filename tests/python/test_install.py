"""The installed package imports and works from its install folder alone."""
import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ.get("BRINDLE_BUILD_DIR")


@pytest.mark.skipif(not BUILD_DIR, reason="needs BRINDLE_BUILD_DIR, set by CTest")
def test_installed_package_imports_and_opens_a_database(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL)
    script = ("import brindle, sys; db = brindle.open(sys.argv[1]); "
              "db.key('App', create=True)['x'] = 1; print(brindle.__file__, db.key('App')['x'])")
    environment = dict(os.environ,
                       PYTHONPATH=str(prefix / os.environ["BRINDLE_PYTHON_INSTALL_DIR"]))
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path / "db")], check=True,
                            env=environment, cwd=tmp_path, capture_output=True, text=True)
    # The library's own diagnostic lines share standard output; find the script's line.
    line = next(line for line in result.stdout.splitlines() if "__init__.py" in line)
    assert line.startswith(str(prefix)) and line.endswith(" 1")
