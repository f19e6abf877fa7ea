"""The package's generated catalogue: current, complete, and worded as the tools."""

import os
import subprocess
import unittest
from pathlib import Path

import qor
from qor import _catalogue, _library, _trace


class Catalogue(unittest.TestCase):
    def test_source_copy_is_the_built_one(self):
        # The build writes the rows; the source tree's copy (what a wheel or
        # an import from the source tree uses) must be the same.
        built = os.environ.get("QOR_BUILT_CATALOGUE")
        if not built:
            self.skipTest("QOR_BUILT_CATALOGUE not set")
        source = Path(_catalogue.__file__)
        self.assertEqual(
            source.read_text(), Path(built).read_text(),
            "python/qor/_catalogue.py is stale: cmake --build BUILD --target "
            "python_catalogue_update")

    def test_every_row_is_a_method_and_a_prototype(self):
        for row in _catalogue.COMMANDS:
            with self.subTest(command=row.word):
                self.assertTrue(callable(getattr(qor.Module, row.word)))
                self.assertTrue(callable(getattr(qor.Module, row.descriptive)))
                self.assertIn(row.export, _library._PROTOTYPES)
                self.assertEqual(row.letters in qor.SAFE_TO_REPEAT, row.repeat_hazard is None)

    def test_trace_words_are_the_tools(self):
        # The C++ side words sample events of every kind; the package's
        # filling of the same forms must give the same words.
        writer = os.environ.get("QOR_WRITE_CATALOGUE")
        if not writer:
            self.skipTest("QOR_WRITE_CATALOGUE not set")
        out = subprocess.run([writer, "--trace-samples"], capture_output=True, text=True,
                             check=True).stdout
        lines = out.splitlines()
        self.assertGreater(len(lines), len(_catalogue.TRACE_FORMS))
        for line in lines:
            kind, ms, seen, data, text, words = line.split("\t")
            with self.subTest(line=line):
                self.assertEqual(
                    _trace.words(int(kind), bytes.fromhex(data), int(ms),
                                 bytes.fromhex(text).decode(), seen == "1"),
                    words)
