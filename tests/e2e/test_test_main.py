#!/usr/bin/env python3
"""The diagnostic applet (test_main.cpp), run for real: its self-checking exercises; its
text-format exercises (XML documents that xmllint accepts, and the process table's own XML,
give the same element paths and texts as Python's xml.etree; malformed documents are
flagged and never crash; locators split as Python's urllib does); and plugin files it
loads that call back into the program: the C plugin built with the tree, and an out-of-tree
plugin built with pkg-config against a staged install of the SDK.

Usage: test_test_main.py <vexa>; the environment names the plugin (TARVIK_C_PLUGIN) and
the staged install (TARVIK_SDK_PREFIX), as the build's test registration sets them.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse
import xml.etree.ElementTree as ElementTree

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


EVENT = re.compile(r"^\[([TBCDP?])\]\[([S ])([E ])([C ])([! ])\]\[(-?\d+)\]\[(\S*) *\] ", re.M)
BLANKS = re.compile(r"\s+")

WELL_FORMED = [
    "<a/>",
    "<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r>\n  <x k=\"1\">one</x>\n  <y>two<z/>tail</y>\n</r>\n",
    "<r><![CDATA[<raw> & text]]> after <!-- note --> more<?pi data?></r>",
    "<r>\n<config>\n  <complextag a='1' b=\"2\">in <b>bold</b> out</complextag>\n</config>\n</r>",
    "<r>" + "".join("<i n=\"%d\">v%d</i>" % (n, n) for n in range(200)) + "</r>",
    "<deep>" + "<d>" * 200 + "bottom" + "</d>" * 200 + "</deep>",
    "<r>caf\u00e9 \u4e2d\u6587 <e\u00e9/></r>",
]

MALFORMED = [
    ("<a><!-- open", "T"),
    ("<a>x<![CDATA[ open", "B"),
    ("<a><b c=\"open>", "T"),
    ("<a><b c=1", "T"),
    ("<a></a></b>", "!"),
    ("text<a/>", "!"),
    ("<a><!-- a -- b --></a>", "!"),
]


def dump(path):
    result = e2e.run("test", "xml", path)
    if result.returncode != 0:
        raise AssertionError("test xml %s: %r" % (path, result))
    return result.stdout


def events(text):
    """(type, letters, depth, path, content) of every event of a dump."""
    matches = list(EVENT.finditer(text))
    out = []
    for index, match in enumerate(matches):
        end = matches[index + 1].start() if index + 1 < len(matches) else len(text)
        content = text[match.end():end].rstrip("\n").lstrip(" ")
        out.append((match.group(1), "".join(match.group(2, 3, 4, 5)), int(match.group(6)),
                    match.group(7), content))
    return out


def ours(text):
    """Element paths and the text between element boundaries, as the dump shows them."""
    sequence = []
    chunk = []

    def flush(path):
        joined = BLANKS.sub("", "".join(chunk))
        if joined and path != "/":
            sequence.append(("text", path, joined))
        chunk.clear()

    path = "/"
    for kind, letters, _, event_path, content in events(text):
        if kind == "T":
            flush(path)
            if letters[0] == "S":
                sequence.append(("element", event_path))
            path = event_path
            if letters[1] == "E":
                path = event_path.rsplit("/", 1)[0] or "/"
        elif kind == "B":
            chunk.append(content[1:-1])
            path = event_path
    flush(path)
    return sequence


def python(document):
    sequence = []

    def text(value, path):
        joined = BLANKS.sub("", value or "")
        if joined:
            sequence.append(("text", path, joined))

    def walk(element, parent):
        path = parent + "/" + element.tag
        sequence.append(("element", path))
        text(element.text, path)
        for child in element:
            walk(child, path)
            text(child.tail, path)

    walk(ElementTree.fromstring(document), "")
    return sequence


class XmlAgainstPython(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.directory)

    def write(self, name, data):
        path = os.path.join(self.directory, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def compare(self, path):
        with open(path, "rb") as handle:
            document = handle.read()
        self.assertEqual(ours(dump(path)), python(document), path)

    def test_well_formed_documents(self):
        xmllint = shutil.which("xmllint")
        for index, document in enumerate(WELL_FORMED):
            path = self.write("doc%d.xml" % index, document.encode("utf-8"))
            if xmllint:
                lint = subprocess.run([xmllint, "--noout", path], capture_output=True)
                self.assertEqual(lint.returncode, 0, (document, lint.stderr))
            self.compare(path)

    def test_process_table_document(self):
        result = e2e.run("test", "xml", "@ps")
        self.assertEqual(result.returncode, 0, result)
        path = self.write("ps.xml", result.stdout.encode("utf-8"))
        self.compare(path)
        self.assertGreater(len(python(result.stdout.encode("utf-8"))), 10)

    def test_utf16_document_is_dumped_as_utf8(self):
        document = "<r><n\u00e4me>\u4e2d</n\u00e4me></r>"
        for encoding in ("utf-16-le", "utf-16-be"):
            bom = b"\xff\xfe" if encoding.endswith("le") else b"\xfe\xff"
            path = self.write("utf16.xml", bom + document.encode(encoding))
            self.assertEqual(ours(dump(path)), python(document.encode("utf-8")))

    def test_malformed_documents_are_flagged(self):
        for index, (document, expected) in enumerate(MALFORMED):
            path = self.write("bad%d.xml" % index, document.encode("utf-8"))
            found = events(dump(path))
            self.assertTrue(found, document)
            if expected == "!":
                self.assertTrue(any("!" in letters for _, letters, _, _, _ in found), document)
            else:
                self.assertEqual(found[-1][0], expected, document)

    def test_unreadable_file(self):
        result = e2e.run("test", "xml", os.path.join(self.directory, "missing.xml"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot read", result.stderr)


def uri_parts(text):
    result = e2e.run("test", "uri", text)
    if result.returncode != 0:
        raise AssertionError("test uri %s: %r" % (text, result))
    parts = {}
    for line in result.stdout.splitlines():
        name, _, value = line.partition(" ")
        value = value.strip()
        parts[name] = None if value == "(none)" else value.strip('"')
    return parts


class UriAgainstPython(unittest.TestCase):
    def test_locators(self):
        for text in ["ftp://user:pw@host:2121/dir/file?x=1&y=2", "ftp://host/pub/a%20b.txt",
                     "rtsp://[2001:db8::1]:554/a?b=c", "tftp://10.0.0.1/boot/image",
                     "ftp://anonymous:@files.example/incoming/", "udp://[::1]:1234"]:
            parts = uri_parts(text)
            expected = urllib.parse.urlsplit(text)
            self.assertEqual(parts["protocol"], expected.scheme, text)
            self.assertEqual(parts["username"], expected.username, text)
            self.assertEqual(parts["password"], expected.password, text)
            self.assertEqual(parts["host"], expected.hostname, text)
            self.assertEqual(int(parts["port"]), expected.port or 0, text)
            self.assertEqual(parts["only_path"], expected.path or None, text)
            self.assertEqual(parts["decoded_path"], urllib.parse.unquote(expected.path) or "/",
                             text)

    def test_nul_in_a_path_is_refused(self):
        parts = uri_parts("file:///etc/passwd%00.txt")
        self.assertIsNone(parts["decoded_path"])
        self.assertEqual(parts["only_path"], "/etc/passwd%00.txt")


if __name__ == "__main__":
    e2e.main(__doc__)
