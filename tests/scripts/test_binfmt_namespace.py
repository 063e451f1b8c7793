"""Tests of scripts/binfmt_namespace.py: the private namespace in which the
32-bit configurations run i386 programs, and win-arm64 aarch64 ones, through
an emulator.

    python3 -m unittest discover -s tests/scripts -p 'test_*.py'

The cases that need the emulator take it from WRAPPER_QEMU_I386 (set by
scripts/test.sh); without it, or where the host cannot make the namespace,
they are skipped with the reason."""

import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.path.join(HERE, "..", "..", "scripts", "binfmt_namespace.py")
QEMU = os.environ.get("WRAPPER_QEMU_I386", "")

CONFIGURATIONS = os.path.join(HERE, "..", "..", "scripts", "configurations.sh")


def write_i386_probe(path):
    """The static i386 program that exits with 0, as the host probe writes it."""
    subprocess.run(["bash", "-c", 'source "$0"; wrapper_write_i386_probe "$1"', CONFIGURATIONS, path],
                   check=True)


def check():
    out = subprocess.run([sys.executable, RUNNER, "--check"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT)
    return out.returncode == 0, out.stdout.decode(errors="replace").strip()


NAMESPACE_OK, NAMESPACE_WHY = check()


def in_namespace(command, emulator=None, machine=None, **kwargs):
    """Runs a shell command in the namespace (with a dummy emulator when none
    is given: any executable will do for registering the rule)."""
    choice = ["--machine", machine] if machine else []
    return subprocess.run([sys.executable, RUNNER] + choice + [emulator or "/bin/true", "sh", "-c", command],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def marker(what):
    """A process name no other process on the machine has."""
    return "binfmt-ns-test-%s-%d-%d" % (what, os.getpid(), time.monotonic_ns())


def running(name):
    return subprocess.run(["pgrep", "-f", "^" + name], stdout=subprocess.DEVNULL).returncode == 0


@unittest.skipUnless(NAMESPACE_OK, "no private namespace here: %s" % NAMESPACE_WHY)
class Namespace(unittest.TestCase):
    def test_exit_status_is_the_commands(self):
        for command, status in (("exit 0", 0), ("exit 7", 7), ("kill -9 $$", 137)):
            with self.subTest(command=command):
                self.assertEqual(in_namespace(command).returncode, status)

    def test_rule_registered_inside_only(self):
        # (machine asked for, rule name, its e_machine bytes in the magic, the other rule)
        for machine, rule, e_machine, other in ((None, "wrapper-i386", "0300", "wrapper-aarch64"),
                                                ("aarch64", "wrapper-aarch64", "b700", "wrapper-i386")):
            with self.subTest(machine=machine):
                out = in_namespace("cat /proc/sys/fs/binfmt_misc/%s; ls /proc/sys/fs/binfmt_misc" % rule,
                                   machine=machine)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn(b"flags: F", out.stdout)
                self.assertIn(b"interpreter /bin/true", out.stdout)
                self.assertRegex(out.stdout.decode(), r"magic 7f454c46\w{24}0200%s\n" % e_machine)
                self.assertNotIn(other.encode(), out.stdout)
                # Outside, the host's binfmt_misc (mounted or not) never holds it.
                self.assertFalse(os.path.exists("/proc/sys/fs/binfmt_misc/" + rule))
                with open("/proc/self/mounts") as f:
                    outside = f.read()
                self.assertNotIn(rule, outside)

    def test_runs_as_the_caller_with_its_own_pids(self):
        out = in_namespace("id -u; echo $$; ls -d /proc/[0-9]* | wc -l")
        uid, pid, count = out.stdout.decode().split()
        self.assertEqual(int(uid), os.getuid())
        self.assertEqual(int(pid), 2)               # the init of the namespace is 1
        self.assertLess(int(count), 10)             # only the namespace's processes

    def test_orphans_are_reaped(self):
        # Each (sleep &) leaves an orphan that PID 1 must collect when it ends.
        out = in_namespace("for i in 1 2 3 4 5; do (sleep 0.1 &); done; sleep 1;"
                           " grep -l '^State:.*Z' /proc/[0-9]*/status | wc -l")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.strip(), b"0")

    def test_nothing_outlives_the_command(self):
        name = marker("detached")
        out = in_namespace("setsid bash -c 'exec -a %s sleep 300' </dev/null >/dev/null 2>&1 &"
                           " while ! pgrep -f ^%s >/dev/null; do sleep 0.05; done" % (name, name))
        self.assertEqual(out.returncode, 0)
        time.sleep(0.3)
        self.assertFalse(running(name), "a process of the namespace outlived it")

    def test_killing_the_runner_ends_the_namespace(self):
        name = marker("command")
        proc = subprocess.Popen([sys.executable, RUNNER, "/bin/true", "bash", "-c",
                                 "exec -a %s sleep 300" % name])
        deadline = time.monotonic() + 10
        while not running(name):
            self.assertLess(time.monotonic(), deadline, "the command never started")
            time.sleep(0.05)
        proc.kill()
        proc.wait()
        deadline = time.monotonic() + 5
        while running(name):
            self.assertLess(time.monotonic(), deadline, "the command outlived its runner")
            time.sleep(0.05)


@unittest.skipUnless(NAMESPACE_OK, "no private namespace here: %s" % NAMESPACE_WHY)
@unittest.skipUnless(QEMU and os.access(QEMU, os.X_OK), "WRAPPER_QEMU_I386 names no emulator")
class Emulator(unittest.TestCase):
    def test_i386_program_runs_inside(self):
        with tempfile.TemporaryDirectory() as tmp:
            probe = os.path.join(tmp, "probe")
            write_i386_probe(probe)
            out = in_namespace(probe, emulator=QEMU)
            self.assertEqual(out.returncode, 0, out.stderr)


class Usage(unittest.TestCase):
    def test_refused_arguments(self):
        for args in ([], ["/bin/true"], ["/nonexistent/qemu", "true"], ["/tmp", "true"],
                     ["--machine", "mips", "/bin/true", "true"], ["--machine"],
                     ["--machine", "aarch64", "/bin/true"]):
            with self.subTest(args=args):
                out = subprocess.run([sys.executable, RUNNER] + args, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
                self.assertEqual(out.returncode, 2)


if __name__ == "__main__":
    unittest.main()
