"""The package as a whole: every export bound and used, the README tour, a pip install."""

from __future__ import annotations

import doctest
import importlib.util
import os
import re
import subprocess
import sys
import unittest
from unittest import mock
from pathlib import Path

import quelta
from quelta import _lib

from .support import TempDirTest

SOURCE_DIR = Path(os.environ.get("QUELTA_SOURCE_DIR", Path(__file__).resolve().parents[3]))
PACKAGE_DIR = Path(quelta.__file__).parent


class ExportsTest(unittest.TestCase):
    def test_every_header_export_is_bound_and_used(self) -> None:
        header = (SOURCE_DIR / "include" / "quelta.h").read_text()
        declared = set(re.findall(r"QUELTA_API[^;(]*?\b(quelta_\w+)\s*\(", header))
        # The design's 46, and additive ones: the _with form of each export that reads input,
        # and the additive groups below.
        groups = {
            "typed columns": {f"quelta_collect_columnar_{t}" for t in ("float64", "int64", "boolean", "datetime", "infer_type", "join", "dictionary")},
            "rows in bulk": {"quelta_next_rows", "quelta_unread_rows"},
            "failure detail": {"quelta_last_error_detail"},
            "profile": {
                "quelta_profile",
                "quelta_infer_schema",
                "quelta_parallel_profile",
                "quelta_parallel_infer_schema",
                "quelta_profile_free",
            },
            "html report": {"quelta_validate_html"},
        }
        additive = {n for n in declared if n.endswith("_with")}.union(*groups.values())
        self.assertEqual(len(declared - additive), 46)
        self.assertEqual({n.removesuffix("_with") for n in declared if n.endswith("_with")} - declared, set())
        for name, group in groups.items():
            self.assertEqual(group - declared, set(), name)
        self.assertEqual(declared, set(_lib.PROTOTYPES))
        self.assertEqual(_lib.lib().missing, [], "exports missing from the loaded library")
        code = "".join(p.read_text() for p in PACKAGE_DIR.glob("*.py") if p.name != "_lib.py")
        unused = [n for n in declared if not re.search(rf"\b{n[len('quelta_'):]}\b", code)]
        # The last error and its detail are read by _lib itself for every failure.
        self.assertEqual(sorted(unused), ["quelta_last_error", "quelta_last_error_detail"])
        self.assertEqual(quelta.build_mode(), "ReleaseFast")


class OptionalDaskTest(unittest.TestCase):
    def test_dask_module_needs_dask_only_when_called(self) -> None:
        with mock.patch.dict(sys.modules, {"dask": None, "distributed": None}):  # as if not installed
            module = importlib.import_module("quelta.dask")
            self.assertEqual(module.count([]).value, 0)  # no file, no cluster needed
            with self.assertRaisesRegex(ImportError, "python3-distributed"):
                module.count(["a.csv"])


class ReadmeTest(unittest.TestCase):
    def test_python_tour_runs(self) -> None:
        text = (SOURCE_DIR / "README.md").read_text()
        section = re.search(r"^### The Python package\n(.*?)(?=^##)", text, re.S | re.M)
        self.assertIsNotNone(section, "README.md has no Python package tour")
        body = "\n".join(line for line in section.group(1).splitlines() if not line.startswith("```"))
        test = doctest.DocTestParser().get_doctest(body, {}, "README.md", "README.md", 0)
        self.assertGreater(len(test.examples), 5)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        cwd = os.getcwd()
        os.chdir(SOURCE_DIR)  # the tour reads examples/
        try:
            runner.run(test)
        finally:
            os.chdir(cwd)
        self.assertEqual(runner.failures, 0)


class InstallTest(TempDirTest):
    @unittest.skipIf(importlib.util.find_spec("pip") is None, "pip is not installed for this interpreter")
    def test_pip_install_bundles_the_library(self) -> None:
        target = os.path.join(self.dir, "site")
        env = dict(os.environ, QUELTA_LIBRARY=_lib.lib().path, PIP_NO_INPUT="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", "--target", target, str(PACKAGE_DIR.parent)],
            check=True, env=env, cwd=self.dir, capture_output=True,
        )  # fmt: skip
        self.assertTrue((Path(target) / "quelta" / "libquelta.so").is_file())
        env = {k: v for k, v in os.environ.items() if k not in ("QUELTA_LIBRARY", "PYTHONPATH")}
        env["PYTHONPATH"] = target
        path = self.write("t.csv", "a\n1\n2\n")
        out = subprocess.run(
            [sys.executable, "-c", "import quelta, sys; print(quelta.library_path()); print(quelta.open(sys.argv[1]).count())", path],
            check=True, env=env, cwd=self.dir, capture_output=True, text=True,
        ).stdout.split()  # fmt: skip
        self.assertEqual(out, [str(Path(target) / "quelta" / "libquelta.so"), "2"])


if __name__ == "__main__":
    unittest.main()
