"""The README's shell examples, run in the order they are shown, as a reader
runs them after the first command: from a scratch folder whose build/ is
this build and whose other files are the source tree's (./python for pip),
so that the examples cannot rot.

    readme_test.py README BUILD_DIR

Every ```sh block runs, unless the line before it says
<!-- readme-test: skip (why) --> (the blocks that build, package or need a
file of the reader's own). Each block runs in bash with -e, so a command
that fails fails the test. A command whose comment is its output (# 72.10,
# ok, # "1  72.10", "2  72.10"; a note in parentheses may follow) must
print exactly that. Three liberties are taken, because tests share the
machine: the fixed TCP ports of the examples become free ones, sleeps that
wait for a program started in the background are five times as long, and
what a block left running is stopped (by its process group) once it ends.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = "<!-- readme-test: skip"
# What the prose after a block says its background programs print, and
# must therefore appear in their output: (a word of the block, the texts).
PROMISED = [
    ("mosquitto_sub -p 1883 -v -t 'plant/#'", ["plant/gateway/hall1/status online", "plant/gateway/hall2/status online",
                       '"command":"rr","ok":false,"reason":"\\"rr\\" is not writable on module '
                       '\\"tank\\""']),
]
PRELUDE = r"""
set -eu
expect() {  # expect LINE_NUMBER COMMAND_OUTPUT EXPECTED_OUTPUT
    if [[ "$2" != "$3" ]]; then
        printf 'README line %s printed:\n%s\nand not, as its comment says:\n%s\n' "$1" "$2" "$3" >&2
        exit 1
    fi
}
"""
OUTPUT_COMMENT = re.compile(
    r'^(?P<cmd>\S.*?)\s+# (?:(?P<quoted>"[^"]*"(?:, "[^"]*")*)|(?P<plain>ok|-?\d[\d.]*(?: [a-z]+)?))'
    r'(?: \(.*\))?$'
)
PORT = re.compile(r'(?:(?<=[:,])|(?<=-p )|(?<=port = ))(\d{4,5})\b')


def blocks(readme):
    """(first line number, lines) of every ```sh block not marked skip."""
    found, lines = [], readme.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].strip() == "```sh":
            start = i + 1
            end = next(j for j in range(start, len(lines)) if lines[j].strip() == "```")
            previous = lines[i - 1].strip() if i > 0 else ""
            if not previous.startswith(SKIP):
                found.append((start + 1, lines[start:end]))
            i = end
        i += 1
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def script_of(first_line, lines):
    """The block as a bash script, with its output comments checked."""
    ports = {}
    out = [PRELUDE]
    for number, line in enumerate(lines, first_line):
        line = PORT.sub(lambda m: str(ports.setdefault(m.group(1), free_port())), line)
        line = re.sub(r"^sleep ([\d.]+)$", lambda m: "sleep %g" % (float(m.group(1)) * 5), line)
        match = OUTPUT_COMMENT.match(line)
        if match is None or match.group("cmd").endswith("&"):
            out.append(line)
            continue
        if match.group("quoted"):
            expected = "\n".join(re.findall(r'"([^"]*)"', match.group("quoted")))
        else:
            expected = match.group("plain")
        out.append("out=$(%s); expect %d \"$out\" '%s'" % (match.group("cmd"), number, expected))
    return "\n".join(out) + "\n"


def stop(group):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            return
        time.sleep(0.5)


def run_block(work, first_line, lines):
    text = "\n".join(lines)
    promised = [s for word, texts in PROMISED if word in text for s in texts]
    log = os.path.join(work, "block-%d.out" % first_line)
    with open(log, "w") as out:
        shell = subprocess.Popen(["bash", "-c", script_of(first_line, lines)], cwd=work,
                                 stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            rc = shell.wait(timeout=180)
            deadline = time.monotonic() + 30
            while promised and time.monotonic() < deadline:
                with open(log) as f:
                    if all(s in f.read() for s in promised):
                        break
                time.sleep(0.2)
        finally:
            stop(shell.pid)
    with open(log) as f:
        output = f.read()
    failures = []
    if rc != 0:
        failures.append("exit %d" % rc)
    failures += ["no %r in what it printed" % s for s in promised if s not in output]
    return failures, output


def main():
    readme_path, build = sys.argv[1:3]
    with open(readme_path) as f:
        readme = f.read()
    # The texts the test waits for are the README's own words.
    flat = " ".join(readme.split())
    for _, texts in PROMISED:
        for text in texts:
            if text not in flat:
                sys.exit("the README no longer says %r: update PROMISED" % text)
    found = blocks(readme)
    if len(found) < 3:
        sys.exit("only %d runnable ```sh blocks in %s" % (len(found), readme_path))
    failed = 0
    with tempfile.TemporaryDirectory(prefix="qor-readme-") as work:
        os.symlink(os.path.abspath(build), os.path.join(work, "build"))
        # The rest of the tree as a reader's clone has it (./python for pip).
        source = os.path.dirname(os.path.abspath(readme_path))
        for name in os.listdir(source):
            if not name.startswith((".", "build")) and name != "venv":
                os.symlink(os.path.join(source, name), os.path.join(work, name))
        for first_line, lines in found:
            failures, output = run_block(work, first_line, lines)
            if failures:
                failed += 1
                print("FAIL: the block at README line %d: %s\n%s" % (
                    first_line, "; ".join(failures), output), file=sys.stderr)
            else:
                print("ok: the block at README line %d (%d lines)" % (first_line, len(lines)))
    if failed:
        sys.exit(1)
    print("all %d shell blocks of the README ran as shown" % len(found))


if __name__ == "__main__":
    main()
