#!/usr/bin/env python3
"""The diagnostic applet (test_main.cpp), run for real: its self-checking exercises, and
plugin files it loads that call back into the program: the C plugin built with the tree,
and an out-of-tree plugin built with pkg-config against a staged install of the SDK.

Usage: test_test_main.py <vexa>; the environment names the plugin (TARVIK_C_PLUGIN) and
the staged install (TARVIK_SDK_PREFIX), as the build's test registration sets them.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

import vexa_e2e as e2e

HERE = os.path.dirname(os.path.abspath(__file__))
SDK_PLUGIN = os.path.join(HERE, "..", "c_abi", "sdk_plugin.c")


class ExercisesTest(unittest.TestCase):
    def test_self_checks_pass(self):
        outcome = e2e.run("test", "all", timeout=120)
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertNotIn("FAILED", outcome.stdout)
        self.assertIn(" 0 failed", outcome.stdout)
        for exercise in ("heap", "alloca", "exception", "format", "argument", "scan",
                         "pattern", "version"):
            self.assertRegex(outcome.stdout, r"test %s +ok" % exercise)

    def test_unknown_exercise_fails_with_the_usage(self):
        outcome = e2e.run("test", "nosuch")
        self.assertEqual(outcome.returncode, 1, outcome)
        self.assertIn('test: unknown exercise "nosuch"', outcome.stderr)
        self.assertTrue(outcome.stdout.startswith("Usage: test <exercise> [<operand>]\n"))


class PluginTest(unittest.TestCase):
    def plugin_answers(self, path):
        outcome = e2e.run("test", "dlopen", path)
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertEqual(outcome.stdout, "dlopen: ok\n")

    def test_tree_plugin_calls_back_into_the_program(self):
        plugin = os.environ.get("TARVIK_C_PLUGIN")
        if not plugin:
            self.skipTest("no plugin built for this program (TARVIK_C_PLUGIN)")
        self.plugin_answers(plugin)
        missing = e2e.run("test", "dlopen", os.path.join(os.path.dirname(plugin), "none.so"))
        self.assertNotEqual(missing.returncode, 0)
        self.assertNotIn("dlopen: ok", missing.stdout)

    def test_out_of_tree_plugin_built_with_pkg_config(self):
        prefix = os.environ.get("TARVIK_SDK_PREFIX")
        if not prefix or shutil.which("pkg-config") is None:
            self.skipTest("no staged install (TARVIK_SDK_PREFIX) or no pkg-config")
        pkgconfig = [os.path.join(root, "pkgconfig")
                     for root, dirs, _ in os.walk(prefix) if "pkgconfig" in dirs]
        self.assertEqual(len(pkgconfig), 1, "one pkg-config directory in the install")
        env = dict(os.environ, PKG_CONFIG_PATH=pkgconfig[0])
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "tarvik"], env=env,
                               capture_output=True, text=True, check=True).stdout.split()
        # Only the installed headers: nothing of the source tree is on the include path.
        self.assertTrue(all(prefix in flag for flag in flags if flag.startswith("-I")), flags)
        directory = tempfile.mkdtemp(prefix="vexa-sdk-")
        try:
            plugin = os.path.join(directory, "sdk_plugin.so")
            compiler = os.environ.get("CC", "cc")
            subprocess.run([compiler, "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
                            "-fPIC", "-shared", "-o", plugin, SDK_PLUGIN, *flags],
                           check=True, capture_output=True, text=True)
            # The program installed with the SDK loads it.
            installed = os.path.join(prefix, "bin", "vexa")
            outcome = e2e.run("test", "dlopen", plugin, program=installed)
            self.assertEqual((outcome.returncode, outcome.stdout), (0, "dlopen: ok\n"), outcome)
        except subprocess.CalledProcessError as error:
            self.fail("plugin build failed: %s" % error.stderr)
        finally:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    e2e.main(__doc__)
