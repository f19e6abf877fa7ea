"""qor-gateway(1) as a reader sees it, rendered by man (groff where man is
missing): every JSON example on the page parses as JSON with its keys in the
order the gateway writes them, and FILES names the folder where the example
configuration is installed.

    gateway_page_check.py PAGE EXAMPLE_PATH
PAGE is the configured page (man-plain/qor-gateway.1), EXAMPLE_PATH the
example's install path below the prefix.
"""

import json
import os
import shutil
import subprocess
import sys

# The keys of each payload as the gateway writes them, the value first.
READING_KEYS = ["value", "status", "error", "ts", "seq", "boot"]
COUNTER_KEYS = ["replies", "timeouts", "errors", "link_faults", "overruns", "commands",
                "late_replies", "refused", "ts"]


def render(page):
    env = dict(os.environ, MANWIDTH="3000", LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat")
    if shutil.which("man"):
        words = ["man", "-l", page]
    else:
        words = ["groff", "-man", "-Tutf8", "-P-cbou", page]
    done = subprocess.run(words, capture_output=True, text=True, env=env, timeout=60)
    if done.returncode != 0 or not done.stdout:
        sys.exit("%s failed (%d): %s" % (" ".join(words), done.returncode, done.stderr))
    # One line of text; typographic hyphens and minus signs as a reader
    # would type them.
    text = " ".join(done.stdout.split())
    return text.replace("\u2010", "-").replace("\u2212", "-")


def json_examples(text):
    """Every {...} that starts like JSON ({" or {}), outermost braces only."""
    found = []
    at = 0
    while True:
        start = text.find("{", at)
        if start < 0:
            return found
        rest = text[start + 1:].lstrip()
        if not rest.startswith(('"', "}")):
            at = start + 1  # a TOML inline table, "{ query = ... }"
            continue
        depth, end = 0, start
        for end in range(start, len(text)):
            depth += {"{": 1, "}": -1}.get(text[end], 0)
            if depth == 0:
                break
        found.append(text[start:end + 1])
        at = end + 1


def main():
    page, example = sys.argv[1:3]
    text = render(page)
    failures = []
    objects = []
    for example_text in json_examples(text):
        try:
            objects.append(json.loads(example_text))
        except ValueError as e:
            failures.append("not JSON as rendered: %s (%s)" % (example_text, e))
    if len(objects) + len(failures) < 10:
        failures.append("only %d JSON examples found" % (len(objects) + len(failures)))
    keys = [list(o) for o in objects]
    for expected in (READING_KEYS, COUNTER_KEYS):
        if expected not in keys:
            failures.append("no example with the keys %s in this order; found %s" % (expected, keys))
    if "<prefix>/" + example not in text:
        failures.append("FILES does not name <prefix>/%s, where the example is installed" % example)
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if failures:
        sys.exit(1)
    print("qor-gateway(1): %d JSON examples parse; FILES names %s" % (len(objects), example))


if __name__ == "__main__":
    main()
