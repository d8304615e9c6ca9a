#!/usr/bin/env python3
"""A C plugin loaded into the running program calls back into its exported functions.

Usage: test_c_plugin.py <vexa> [plugin.so]; the plugin path may also come from the
environment variable TARVIK_C_PLUGIN (set by the build's test registration).
"""
import os
import subprocess
import sys
import unittest

VEXA = None
PLUGIN = None
EXIT_DUMP = "dump exception at"


def run(*arguments):
    return subprocess.run([VEXA, *arguments], capture_output=True, text=True, timeout=60)


class CPluginTest(unittest.TestCase):
    def test_plugin_calls_back_into_the_program(self):
        result = run("test", "dlopen", PLUGIN)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("dlopen: ok", result.stdout)
        self.assertNotIn(EXIT_DUMP, result.stderr)

    def test_missing_plugin_fails_cleanly(self):
        missing = os.path.join(os.path.dirname(PLUGIN), "no_such_plugin.so")
        result = run("test", "dlopen", missing)
        self.assertNotEqual(result.returncode, 0)
        self.assertNotIn("dlopen: ok", result.stdout)
        self.assertNotIn(EXIT_DUMP, result.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_c_plugin.py <vexa> [plugin.so]")
    VEXA = os.path.abspath(sys.argv[1])
    PLUGIN = sys.argv[2] if len(sys.argv) > 2 else os.environ.get("TARVIK_C_PLUGIN", "")
    if not PLUGIN:
        sys.exit("test_c_plugin.py: no plugin path (argument or TARVIK_C_PLUGIN)")
    PLUGIN = os.path.abspath(PLUGIN)
    unittest.main(argv=[sys.argv[0]], verbosity=2)
