#!/usr/bin/python3
"""Runs a command where i386 or aarch64 programs are run by an emulator,
without touching the rest of the machine.

    binfmt_namespace.py [--machine i386|aarch64] EMULATOR COMMAND [ARG...]
    binfmt_namespace.py --check

The command runs in a user, mount and PID namespace of its own. Linux 6.7 and
later give each user namespace its own binfmt_misc: the ELF rule of the
machine (i386 unless --machine says otherwise) is registered there as
wrapper-MACHINE, naming EMULATOR (flag F: the kernel opens it once, so it need not be
visible to the programs it runs). Outside, i386 programs still
fail as before, and other jobs on the machine see nothing of it.

The first process of the PID namespace is a small init of this script: it
reaps every orphan (Wine leaves many) and, when the command ends, ends with
its exit status. The kernel then kills whatever is left in the namespace, and
the registration and its mount go with the namespace. If this script is
killed, the namespace is killed with it (parent-death signals), so a run
leaves no process, rule or mount behind in any case.

--check makes such a namespace and mounts its binfmt_misc without
registering anything: exit 0 when that works, else 1 with the reason on
stdout.
"""

import ctypes
import os
import signal
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
CLONE_NEWPID = 0x20000000
MS_NOSUID, MS_NODEV, MS_NOEXEC = 0x2, 0x4, 0x8
MS_REC, MS_PRIVATE = 0x4000, 1 << 18
PR_SET_PDEATHSIG = 1
BINFMT = "/proc/sys/fs/binfmt_misc"

# The usual rules for ELF executables and shared objects (e_type 2 or 3) of
# each machine, as QEMU's binfmt configuration script writes them: i386
# (e_machine 3), aarch64 (e_machine 0xb7, 64-bit).
RULES = {
    "i386": (
        b"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00",
        b"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"),
    "aarch64": (
        b"\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00",
        b"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"),
}

libc = ctypes.CDLL(None, use_errno=True)


class Refused(Exception):
    pass


def call(what, result):
    if result != 0:
        err = ctypes.get_errno()
        raise Refused("%s: %s" % (what, os.strerror(err)), err)


def mount(source, target, fstype, flags):
    call("mount %s on %s" % (fstype or "(propagation)", target),
         libc.mount(source and source.encode(), target.encode(), fstype and fstype.encode(),
                    ctypes.c_ulong(flags), None))


def die_with_parent():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def escaped(data):
    return "".join("\\x%02x" % b for b in data)


def exit_code(status):
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    return 128 + os.WTERMSIG(status)


def prepare(emulator, machine):
    """In the new namespaces: private mounts, a /proc of this PID namespace
    (Wine looks processes up there by the PIDs it sees) and a binfmt_misc of
    this user namespace, with the emulator's rule when one is given."""
    mount("none", "/", None, MS_REC | MS_PRIVATE)
    mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC)
    try:
        mount("binfmt_misc", BINFMT, "binfmt_misc", MS_NOSUID | MS_NODEV | MS_NOEXEC)
    except Refused as e:
        raise Refused("%s (Linux 6.7 and later give each user namespace its own binfmt_misc; "
                      "this kernel is %s)" % (e.args[0], os.uname().release))
    if emulator:
        magic, mask = RULES[machine]
        rule = ":wrapper-%s:M::%s:%s:%s:F" % (machine, escaped(magic), escaped(mask), emulator)
        with open(BINFMT + "/register", "w") as f:
            f.write(rule)


def init(emulator, machine, argv):
    """PID 1 of the namespace: runs the command and reaps every process."""
    die_with_parent()
    try:
        prepare(emulator, machine)
    except (Refused, OSError) as e:
        print("binfmt namespace: %s" % (e.args[0] if isinstance(e, Refused) else e), flush=True)
        os._exit(125)
    if not argv:
        os._exit(0)
    child = os.fork()
    if child == 0:
        try:
            os.execvp(argv[0], argv)
        except OSError as e:
            print("binfmt namespace: cannot run %s: %s" % (argv[0], e), file=sys.stderr, flush=True)
            os._exit(127)
    while True:
        try:
            pid, status = os.wait()
        except ChildProcessError:
            os._exit(125)
        except InterruptedError:
            continue
        if pid == child:
            os._exit(exit_code(status))


def write_maps(pid):
    """Identity maps written from outside, so that files keep their owners
    inside and the command runs as the caller: every user and group for
    root, only the caller's own otherwise (all an unprivileged writer may
    map)."""
    uid, gid = os.getuid(), os.getgid()
    if uid == 0:
        maps = {"uid_map": "0 0 4294967295\n", "gid_map": "0 0 4294967295\n"}
    else:
        with open("/proc/%d/setgroups" % pid, "w") as f:
            f.write("deny")
        maps = {"uid_map": "%d %d 1\n" % (uid, uid), "gid_map": "%d %d 1\n" % (gid, gid)}
    for name, text in maps.items():
        with open("/proc/%d/%s" % (pid, name), "w") as f:
            f.write(text)


def run(emulator, machine, argv):
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    middle = os.fork()
    if middle == 0:
        os.close(ready_r)
        os.close(go_w)
        die_with_parent()
        try:
            call("unshare (user, mount and PID namespaces)",
                 libc.unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID))
        except Refused as e:
            print("binfmt namespace: %s (unprivileged user namespaces may be refused here)"
                  % e.args[0], flush=True)
            os._exit(125)
        os.write(ready_w, b"1")
        if os.read(go_r, 1) != b"1":
            os._exit(125)
        first = os.fork()  # PID 1 of the new PID namespace
        if first == 0:
            init(emulator, machine, argv)
        while True:
            try:
                _, status = os.waitpid(first, 0)
                break
            except InterruptedError:
                continue
        os._exit(exit_code(status))

    os.close(ready_w)
    os.close(go_r)
    if os.read(ready_r, 1) == b"1":
        try:
            write_maps(middle)
            os.write(go_w, b"1")
        except OSError as e:
            print("binfmt namespace: cannot map users into the namespace: %s" % e, flush=True)
    os.close(go_w)
    # The command's own signals reach it through the terminal or the
    # parent-death chain; here we only wait.
    while True:
        try:
            _, status = os.waitpid(middle, 0)
            return exit_code(status)
        except InterruptedError:
            continue


def main():
    args = sys.argv[1:]
    if args == ["--check"]:
        return run(None, None, [])
    machine = "i386"
    if args[:1] == ["--machine"]:
        machine = args[1] if len(args) > 1 else ""
        args = args[2:]
        if machine not in RULES:
            print("binfmt namespace: no rule for the machine '%s' (known: %s)"
                  % (machine, ", ".join(sorted(RULES))), file=sys.stderr)
            return 2
    if len(args) < 2:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    emulator = os.path.abspath(args[0])
    if not (os.path.isfile(emulator) and os.access(emulator, os.X_OK)):
        print("binfmt namespace: %s is not an executable" % emulator, file=sys.stderr)
        return 2
    return run(emulator, machine, args[1:])


if __name__ == "__main__":
    sys.exit(main())
