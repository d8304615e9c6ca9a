"""cpuusage end to end, on a pseudo-terminal: a busy loop pinned to CPU 0 shows as about 100%
for `--cpu 0` at 200 ms; the key a adds every CPU and the aggregate line, p turns the aggregate
line into a progress bar, q ends; a CPU that does not exist prints no line; SIGTERM ends the
run as cleanly as q; with --fbdev the bar and percentage show in a window of the (virtual)
framebuffer; the usage text."""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import vexa_e2e as e2e

LINE = re.compile(r"^(\t?)(?:\[\s*(\d+)\])?\s*(\d+)\.(\d\d)% \((.*)\) tps=(\d+)$")
VALUE = re.compile(r"(\w+)=\s*(\d+)\.(\d\d)%")
NAMES = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "stolen"]

USAGE = ("usage: cpuusage [<options>]\noptions:\n"
         "\t-h, --help                       : help\n"
         "\t--event-debug                    : enable event debug mode\n"
         "\t-i|-d|--interval|--delay=<msec>  : check interval\n"
         "\t-c|--cpu=<index>                 : CPU index\n"
         "\t-a|--all                         : all cpu\n"
         "\t-p|--progress                    : progress view\n\n")


def lines(output):
    """Each printed line as it stands on the screen: what follows its last carriage return
    (the spinner draws over the start of the line it waits on)."""
    text = e2e.strip_ansi(output.decode("utf-8", "replace")).replace("\r\n", "\n")
    return [line.split("\r")[-1] for line in text.split("\n")]


def readings(output):
    """(prefix, cpu id or None, usage in hundredths, {name: hundredths}, tps) per usage line."""
    found = []
    for line in lines(output):
        match = LINE.match(line)
        if match:
            values = {name: int(whole) * 100 + int(cents)
                      for name, whole, cents in VALUE.findall(match.group(5))}
            cpu = int(match.group(2)) if match.group(2) is not None else None
            usage = int(match.group(3)) * 100 + int(match.group(4))
            found.append((match.group(1), cpu, usage, values, int(match.group(6))))
    return found


def progress_bars(output):
    return [line for line in lines(output) if re.search(r"\d+%\s*\[.*tps=\d+", line)]


class CpuusageTest(unittest.TestCase):
    def setUp(self):
        self.busy = None

    def tearDown(self):
        if self.busy is not None:
            self.busy.kill()
            self.busy.wait()

    def test_busy_cpu_0_then_every_cpu_then_progress_view(self):
        self.busy = subprocess.Popen(["taskset", "-c", "0", sys.executable, "-c",
                                      "while True: pass"])
        time.sleep(0.3)
        cpus = os.cpu_count() or 1

        def frames_of_cpu0(count):
            return lambda output: sum(1 for r in readings(output) if r[1] == 0) >= count

        def every_cpu(output):
            tabbed = {r[1] for r in readings(output) if r[0] == "\t"}
            aggregate = [r for r in readings(output) if r[1] is None]
            return len(tabbed) >= cpus and len(aggregate) >= 2

        def bars(output):
            return len(progress_bars(output)) >= 2

        output = e2e.run_pty([e2e.VEXA, "cpuusage", "--cpu", "0", "-i", "200"], columns=160,
                             keys=[(frames_of_cpu0(6), b"a"), (every_cpu, b"p"), (bars, b"q")],
                             timeout=40).stdout
        self.assertEqual(lines(output)[-2], "End of cpuusage.", output[-400:])
        # Without --fbdev there is no window to free at the end, and no report of one.
        self.assertNotIn(b"ASSERT", output, output[-400:])
        found = readings(output)
        cpu0 = [r for r in found if r[1] == 0]
        self.assertGreaterEqual(len(cpu0), 6, output[-2000:])
        # The busy loop alone keeps CPU 0 at 100%; allow the odd reading taken as it was
        # moved or the emulator paused.
        usages = sorted(r[2] for r in cpu0)
        self.assertGreaterEqual(usages[len(usages) // 2], 9500, usages)
        for prefix, cpu, usage, values, tps in found:
            self.assertEqual(list(values), NAMES)
            self.assertGreater(tps, 0)
            self.assertEqual(usage, max(0, 10000 - values["idle"]))
            self.assertLessEqual(sum(values.values()), 10000)
            # The eight shares cover the ticks but for truncation and the guest counters,
            # which the total also holds.
            self.assertGreaterEqual(sum(values.values()), 9000)
        # Before a: only CPU 0 and without a tab; after it: every CPU with a tab.
        first_tab = next(i for i, r in enumerate(found) if r[0] == "\t" or r[1] is None)
        self.assertTrue(all(r[1] == 0 and r[0] == "" for r in found[:first_tab]))
        self.assertEqual({r[1] for r in found[first_tab:] if r[1] is not None},
                         set(range(cpus)))
        # The progress view draws the aggregate line as a bar, the CPUs stay text lines.
        self.assertGreaterEqual(len(progress_bars(output)), 2)

    def test_missing_cpu_prints_nothing_and_sigterm_ends(self):
        process = subprocess.Popen([e2e.VEXA, "cpuusage", "-c", "4096", "-d", "100"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL)
        time.sleep(1.2)
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=10)
        e2e.check_dump(err)
        self.assertEqual(process.returncode, 0, err)
        text = out.decode()
        self.assertNotIn("tps=", text)
        self.assertTrue(text.endswith("\rEnd of cpuusage.\n"), text[-200:])
        # Only spinner frames came before the end.
        self.assertEqual(set(text[:-len("\rEnd of cpuusage.\n")].replace("\r", "")) - set("-\\|/"),
                         set())

    def test_fbdev_draws_the_bar_and_the_percentage(self):
        directory = tempfile.mkdtemp(prefix="vexa-fb-")
        self.addCleanup(shutil.rmtree, directory, True)
        path = os.path.join(directory, "fb")
        env = {"TARVIK_VIRTUAL_FB": path + ":640x480x32"}
        # The window: 400x56 at the bottom left, 16 pixels from the edges.
        left, top = 16, 480 - 56 - 16

        def pixels():
            try:
                with open(path, "rb") as screen:
                    data = screen.read()
            except OSError:
                return None
            if len(data) < 640 * 480 * 4:
                return None
            return [struct.unpack_from("<I", data, (y * 640 + x) * 4)[0] & 0xFFFFFF
                    for y in range(top, top + 56) for x in range(left, left + 400)]

        seen = []

        def drawn(_output):
            found = pixels()
            # The frame of the bar and white text on the dark background.
            if found is not None and 0x202020 in found and 0xFFFFFF in found:
                seen.append(found)
            return bool(seen)

        result = e2e.run_pty([e2e.VEXA, "cpuusage", "--fbdev", "-i", "100"], env=env,
                             keys=[(drawn, b"q")], timeout=30)
        self.assertEqual(result.returncode, 0, result)
        self.assertIn(b"End of cpuusage.", result.stdout)
        self.assertTrue(seen, "the usage window was drawn")
        self.assertIn(0x808080, seen[0])  # the bar's frame
        # The window goes with the program, and nothing outside it was ever drawn: the screen
        # is black again.
        with open(path, "rb") as screen:
            data = screen.read()
        self.assertFalse(any(value & 0xFFFFFF for (value,) in struct.iter_unpack("<I", data)),
                         "screen left drawn")

    def test_usage(self):
        outcome = e2e.run("cpuusage", "--help")
        self.assertEqual(outcome.returncode, 1)
        self.assertEqual(outcome.stdout, USAGE)
        outcome = e2e.run("cpuusage", "-i", "0", timeout=10)
        self.assertEqual(outcome.returncode, 1)
        self.assertIn("invalid value for --i: \"0\"", outcome.stderr)


if __name__ == "__main__":
    e2e.main(__doc__)
