"""One booted Wine prefix per configuration and test run, copied for every
prefix a suite needs instead of booting Wine again (a boot takes 6 to 20 s,
a copy about 1 s).

The test command names a folder of its own in WRAPPER_PREFIX_TEMPLATES: the
first suite of a configuration boots the template there under a lock, the
others wait for it and copy it. Nothing changes a template once it is made.
A suite run on its own boots its template in its own temporary folder.

Also a command, for the shell suites:
    python3 prefix_template.py CONFIG DEST    copies the template to DEST"""

import fcntl
import os
import subprocess
import sys

# Part of the template's name: a change of how it is made gives another one.
RECIPE = "wineboot-i-en_US-1"


def boot_env(config, path, display=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k != "DISPLAY"}
    env.update(WINEPREFIX=path, WINEARCH=config.winearch, WINEDEBUG="-all", LC_ALL="en_US.UTF-8")
    if display:
        env["DISPLAY"] = display
    return env


def boot(config, path, work, display=None):
    """Makes a prefix of the configuration at path and waits for its server
    to end, so that its registry files are complete before a copy is taken."""
    from .harness import run_setup   # the harness imports this module
    env = boot_env(config, path, display)
    run_setup([config.boot, "wineboot", "-i"], env, work)
    subprocess.run(["wineserver", "-w"], env=env, check=True)


def template(config, work, display=None):
    """The path of the configuration's booted template: the run's shared one
    when the test command set a folder for them, else one made in work."""
    shared = os.environ.get("WRAPPER_PREFIX_TEMPLATES")
    if not shared:
        path = os.path.join(work, "template")
        if not os.path.exists(os.path.join(path, "system.reg")):
            boot(config, path, work, display)
        return path
    os.makedirs(shared, exist_ok=True)
    path = os.path.join(shared, "%s-%s" % (config.name, RECIPE))
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(path):
            unfinished = path + ".new"
            subprocess.run(["rm", "-rf", unfinished], check=True)
            boot(config, unfinished, work, display)
            os.rename(unfinished, path)
    return path


def copy(config, dest, work, display=None):
    """A fresh copy of the template at dest."""
    subprocess.run(["cp", "-a", template(config, work, display), dest], check=True)
    return dest


def main():
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from lib import prefix_template
    from lib.configuration import Configuration
    config_name, dest = sys.argv[1:3]
    work = os.path.dirname(os.path.abspath(dest))
    prefix_template.copy(Configuration(config_name), dest, work)


if __name__ == "__main__":
    main()
