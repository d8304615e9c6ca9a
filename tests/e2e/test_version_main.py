#!/usr/bin/env python3
"""The version applet (version_main.cpp), run for real: without an option a well-formed XML
document (xmllint, and Python's parser for the values) and the option comment; every option
prints its one line, the first option of the table deciding; every value is the real build
(the mipsel target reports mipsel, 32 bits and 4-byte longs) and the machine it runs on.

Usage: test_version_main.py <vexa>
"""
import os
import re
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

import vexa_e2e as e2e

OPTION_COMMENT = ("<!-- Option: -version | -hex | -dec | -dot | -major | -minor | -extra | "
                  "-build | -date | -company | -copyrights | -host | -rarch | -arch | -cc | "
                  "-libc | -os | -cpu_count | -target_build_profile | "
                  "-[char|int|long|longlong|word]_size | -langinfo_codeset -->\n")


def item(*options, env=None):
    result = e2e.run("version", *options, env=env)
    if result.returncode != 0 or result.stderr != "" or not result.stdout.endswith("\n"):
        raise AssertionError("version %s: %r" % (" ".join(options), result))
    return result.stdout[:-1]


class VersionTest(unittest.TestCase):
    def expected_build(self):
        """What this build must say of itself: the target is the 32-bit mipsel device."""
        if e2e.is_target():
            return {"arch": "mipsel", "word": "32", "long": "4", "longlong": "8", "int": "4",
                    "char": "1"}
        import struct
        return {"arch": os.uname().machine, "word": str(struct.calcsize("P") * 8),
                "long": str(struct.calcsize("l")), "longlong": "8", "int": "4", "char": "1"}

    def test_document_is_well_formed_and_ends_with_the_option_comment(self):
        result = e2e.run("version")
        self.assertEqual((result.returncode, result.stderr), (0, ""), result)
        self.assertTrue(result.stdout.endswith("<!-- end of version.xml -->\n" + OPTION_COMMENT))
        document = result.stdout[:-len(OPTION_COMMENT)]
        if shutil.which("xmllint"):
            lint = subprocess.run(["xmllint", "--noout", "-"], input=document, text=True,
                                  capture_output=True)
            self.assertEqual(lint.returncode, 0, lint.stderr)
        root = ElementTree.fromstring(document.encode())
        self.assertEqual(root.tag, "application")
        build = self.expected_build()
        version = root.find("version")
        self.assertEqual(version.findtext("string"), item("-ver"))
        for part in ("major", "minor", "extra", "build"):
            self.assertEqual(version.findtext(part), item("-" + part))
        self.assertEqual(version.findtext("date") + " " + version.findtext("time"), item("-date"))
        self.assertEqual(version.findtext("architecture"), build["arch"])
        self.assertEqual(version.findtext("word_size"), build["word"])
        self.assertEqual(version.findtext("host"), item("-host"))
        self.assertEqual(version.findtext("profile"), item("-target_build_profile"))
        self.assertEqual(version.findtext("company"), item("-company"))
        self.assertEqual(version.findtext("copyright"), item("-copy"))
        runtime = root.find("runtime")
        self.assertEqual(runtime.findtext("architecture"), item("-rarch"))
        self.assertEqual(runtime.findtext("os"), os.uname().sysname)
        release = re.match(r"(\d+)\.(\d+)(?:\.(\d+))?", os.uname().release).groups()
        self.assertTrue(runtime.findtext("os_version").startswith("%s.%s" % release[:2]))
        heap = root.find("heap")
        self.assertGreaterEqual(int(heap.findtext("peak")), int(heap.findtext("size")))
        self.assertGreater(int(heap.findtext("count")), 0)
        # The compiler comment names the real compiler, not a fixed old one.
        self.assertRegex(document, r"\n<!-- gcc v\d+\.\d+ \(__\w+=\d+\)-->\n")
        self.assertNotIn("gcc v4.3 ", document)

    def test_every_option_prints_its_one_line(self):
        build = self.expected_build()
        version = item("-ver")
        self.assertEqual(version, "5.0.2.0")
        self.assertEqual(item("-version"), version)
        self.assertEqual(item("-dot"), version)
        for spelling in ("-hex", "-hexa", "--code"):
            self.assertEqual(item(spelling), "05000200")
        for spelling in ("-dec", "--decimal"):
            self.assertEqual(item(spelling), str(0x05000200))
        self.assertEqual([item("-" + part) for part in ("major", "minor", "extra", "build")],
                         ["5", "0", "2", "0"])
        self.assertRegex(item("-date"), r"^[A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d$")
        self.assertEqual(item("-copyrights"), item("-copy"))
        self.assertEqual(item("-hostname"), item("-host"))
        for spelling in ("-arch", "--architecture"):
            self.assertEqual(item(spelling), build["arch"])
        self.assertEqual(item("-runtime_architecture"), item("-rarch"))
        if not e2e.is_target():
            self.assertEqual(item("-rarch"), os.uname().machine)
        self.assertEqual((item("-cc"), item("-compiler"), item("-libc")), ("gcc", "gcc", "glibc"))
        self.assertEqual(item("-os"), os.uname().sysname)
        self.assertEqual(item("-cpu_count"), str(len(os.sched_getaffinity(0))))
        self.assertNotEqual(item("-target_build_profile"), "")
        for name in ("char", "int", "long", "longlong"):
            self.assertEqual(item("-%s_size" % name), build[name], name)
            self.assertEqual(item("-" + name), build[name], name)
        for spelling in ("-word_size", "-word", "-arch_size", "-arch_bits"):
            self.assertEqual(item(spelling), build["word"])

    def test_the_table_order_decides_between_options(self):
        self.assertEqual(item("--dec", "--hex"), "05000200")
        self.assertEqual(item("-langinfo_codeset", "-os", "-major"), "5")

    def test_codeset_follows_the_environment_locale(self):
        self.assertEqual(item("-langinfo_codeset", env={"LC_ALL": "C"}), "ANSI_X3.4-1968")
        if not e2e.is_target():
            self.assertEqual(item("-langinfo_codeset", env={"LC_ALL": "C.UTF-8"}), "UTF-8")


if __name__ == "__main__":
    e2e.main(__doc__)
