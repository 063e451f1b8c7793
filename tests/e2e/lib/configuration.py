"""The end-to-end configurations: which wrapper, which package, which Wine
prefix (scripts/configurations.sh holds the same table for the shell)."""

import os

# name: (wrapper bits, package architecture, WINEARCH, Wine loader)
TABLE = {
    "win32": (32, "i586", "win32", "wine"),
    "win32-x64": (32, "amd64", "win64", "wine"),
    "win64": (64, "amd64", "win64", "/usr/lib/wine/wine64"),
    # arm64 Wine of the arm64 root; "wine" and "wineserver" are its loaders
    # (scripts/arm64-wine, first on the PATH of the run).
    "win-arm64": (64, "arm64", "win64", "wine"),
}
MACHINES = {"i586": 0x14C, "amd64": 0x8664, "arm64": 0xAA64}


class Configuration:
    def __init__(self, name):
        if name not in TABLE:
            raise ValueError("unknown configuration %r (one of %s)" % (name, ", ".join(TABLE)))
        self.name = name
        self.wrapper_bits, self.package_arch, self.winearch, self.wine = TABLE[name]
        # A 64-bit prefix, with or without its 32-bit part, is made by the 64-bit loader.
        self.arm64 = self.package_arch == "arm64"
        self.boot = "/usr/lib/wine/wine64" if self.winearch == "win64" and not self.arm64 else "wine"
        # The x64 variant: the package is amd64, the staging folder ends in _x64.
        self.x64_variant = self.package_arch == "amd64"
        self.product_folder = r"Velmor\Tarsk\tpz1.6.0_13" + ("_x64" if self.x64_variant else "")
        # Where C:\windows\system32 of the wrapper's process lies in the prefix:
        # a 32-bit process in a 64-bit prefix is redirected to syswow64.
        self.system_folder = "syswow64" if self.winearch == "win64" and self.wrapper_bits == 32 else "system32"
        # The registry root token (run_raw, stand-in) of the kit's own keys:
        # a 64-bit package writes them in the 64-bit view.
        self.kit_root = "HKLM64" if self.package_arch in ("amd64", "arm64") else "HKLM"
        # Where the kit's real installation lands. Wine 8's installer engine
        # on arm64 defines no 64-bit folder properties (ProgramFiles64Folder,
        # ProgramFilesFolder, VersionNT64: only Intel), so ProgramFiles64Folder
        # falls back to TARGETDIR, the root of C:.
        self.install_dir = (r"C:\Tarsk\Kit 1.6.0_13" if self.arm64
                            else r"C:\Program Files\Tarsk\Kit 1.6.0_13")
        self.machine = MACHINES["i586" if self.wrapper_bits == 32 else self.package_arch]
        # Wine runs through qemu-i386 or qemu-aarch64 here (set by scripts/configurations.sh).
        self.emulated = self.wine == "wine" and os.environ.get(
            "WRAPPER_ARM64_EMULATED" if self.arm64 else "WRAPPER_I386_EMULATED") == "1"

    def __str__(self):
        return "%s (%s wrapper, %s package, %s prefix%s)" % (
            self.name, "arm64" if self.arm64 else "%d-bit" % self.wrapper_bits,
            self.package_arch, self.winearch,
            (", arm64 Wine through qemu-aarch64" if self.arm64 else ", 32-bit Wine through qemu-i386")
            if self.emulated else "")

    def skip_unless(self, condition, reason):
        """Skips the running case with its reason unless condition holds."""
        if not condition:
            raise Skip("%s: %s" % (self.name, reason))


class Skip(Exception):
    """A case that cannot apply to the configuration; the reason is printed."""
