"""The package's generated catalogue: current, complete, and worded as the tools."""

import os
import subprocess
import unittest
from pathlib import Path

from simulator import Sim

import qor
from qor import _catalogue, _library, _trace
from qor import link as link_module


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

    def test_a_row_without_arguments_needs_no_method_of_its_own(self):
        # What a new read-only query gets: a method made from its row.
        sim = Sim(self, "--steady")
        link = qor.Link(sim.target)
        self.addCleanup(link.close)
        m = link.module("1")
        rows = {row.word: row for row in _catalogue.COMMANDS}
        self.assertEqual(link_module._plain_method(rows["rd"])(m), 72.1)
        self.assertEqual(link_module._plain_method(rows["re"])(m), m.re())
        self.assertIsNone(link_module._plain_method(rows["da"])(m))
        with self.assertRaises(TypeError):
            link_module._plain_method(rows["rh"])
        self.assertEqual(sim.frames()[:3], ["$1RD", "$1RE", "$1RE"])
