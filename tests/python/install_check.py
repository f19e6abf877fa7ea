"""pip install ./python gives a package that works on its own.

Installs the package with the venv's own pip into a fresh venv, as the
README does, bundling the libraries
from a copy of the build's libraries, then deletes that copy (the build tree
is gone, as on a user's machine) and reads a value from a real qor-sim with
no environment variable set: the libraries must come from the venv.

    install_check.py LIB_DIR QOR_SIM PYTHON_DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile

USE = """
import qor
with qor.Link(PTY, timeout=1.0) as link:
    value = link.module("1").read()
comm, dll = qor.loaded_paths()
assert value == 72.1, value
assert comm.startswith(sys.prefix) and dll.startswith(sys.prefix), (comm, dll)
assert qor.__file__.startswith(sys.prefix), qor.__file__
print("read", value, "through", dll)
"""


def installer():
    """An interpreter whose venvs get pip: Debian's, else the one running."""
    for python in ("/usr/bin/python3", sys.executable):
        probe = [python, "-c", "import venv, ensurepip"]
        if os.path.exists(python) and subprocess.run(probe, capture_output=True).returncode == 0:
            return python
    sys.exit("no python3 with venv and ensurepip (scripts/setup.sh installs python3-venv)")


def run(words, **kwargs):
    done = subprocess.run(words, capture_output=True, text=True, timeout=120, **kwargs)
    if done.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (words[:4], done.returncode, done.stdout, done.stderr))
    return done.stdout


def main():
    lib_dir, sim, python_dir = sys.argv[1:4]
    python_dir = os.path.abspath(python_dir)
    python = installer()
    work = tempfile.mkdtemp(prefix="qor-install-")
    sim_process = None
    try:
        copy = os.path.join(work, "build")
        os.mkdir(copy)
        for name in ("libqor_comm.so.1", "libqor_dll.so.1"):
            shutil.copy(os.path.join(lib_dir, name), copy)
        venv = os.path.join(work, "venv")
        # As the README shows: a venv with its own pip (Debian's Python
        # refuses packages outside one), pip's usual isolated build.
        run([python, "-m", "venv", venv])
        venv_python = os.path.join(venv, "bin", "python")
        run([os.path.join(venv, "bin", "pip"), "install", "--no-index", "--config-settings",
             "qor-build-dir=" + copy, python_dir])
        shutil.rmtree(copy)
        sim_process = subprocess.Popen([sim, "--pty", "--steady"], stdout=subprocess.PIPE,
                                       stdin=subprocess.DEVNULL)
        pty = sim_process.stdout.readline().decode().strip()
        env = {k: v for k, v in os.environ.items()
               if k not in ("QOR_LIB_DIR", "PYTHONPATH", "LD_LIBRARY_PATH")}
        print(run([venv_python, "-c", "import sys\nPTY = %r\n%s" % (pty, USE)], env=env, cwd=work),
              end="")
    finally:
        if sim_process is not None:
            sim_process.terminate()
            sim_process.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
