"""What is shipped. HelpTest: the manual pages and the bash completion in step with --help of
the built programs. PackageTest: the packages of tools/release.sh as a technician gets them:
the zip's files and the exes' version resources, the Debian package's fields and files, and
the package unpacked into a scratch root and run from there.
Environment: LRX_LUMRAX, LRX_SIM (the programs), LRX_PACKAGES (the packages' folder),
LRX_VERSION_HEADER (the build's version), LRX_RELEASE_RUNS (scratch).
Run one:  LRX_LUMRAX=... LRX_SIM=... python3 test_release.py HelpTest.test_manual_pages
"""

import glob
import os
import re
import shutil
import subprocess
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
DIST = os.path.join(SOURCE, "dist")


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def run(*args, env=None):
    r = subprocess.run(args, capture_output=True, text=True, timeout=60, check=False,
                       env=dict(os.environ, **(env or {})))
    return r.returncode, r.stdout, r.stderr


def long_options(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z-]*[a-z]", text.replace("\\-", "-")))


def help_text(program):
    rc, out, err = run(program, "--help")
    assert (rc, err) == (0, ""), (program, rc, err)
    return out


def help_commands(text):
    section = text.split("\nCommands:\n")[1].split("\nOptions:\n")[0]
    return set(re.findall(r"^  ([a-z]+)\b", section, re.M))


# The tables the programs take their values from.
RATES = re.findall(r"\d+", re.search(r"baudrate_table\[kBaudRows\] = \{([^}]*)\}",
                                     read(os.path.join(SOURCE, "serial", "port.cpp"))).group(1))
CHIPS = re.findall(r'"([^"]+)"', re.search(r"kChips\[\] = \{([^}]*)\}",
                                          read(os.path.join(SOURCE, "cli", "options.cpp"))).group(1))


def complete(script, *words, path=None):
    """The completions that the script registered for lumrax offers when the last word is
    being typed."""
    prog = ('source "$1"; shift; line=$(complete -p lumrax) || exit 1; fn=${line#*-F }; '
            'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); "${fn%% *}"; '
            'printf "%s\\n" "${COMPREPLY[@]}"')
    env = {"PATH": path + os.pathsep + os.environ["PATH"]} if path else None
    rc, out, err = run("bash", "--norc", "--noprofile", "-c", prog, "bash", script, *words,
                       env=env)
    assert (rc, err) == (0, ""), (words, rc, err)
    return out.split()


def built_version():
    text = read(os.environ["LRX_VERSION_HEADER"])
    return tuple(re.search(r"#define %s (\S+)" % name, text).group(1).strip('"')
                 for name in ("LRX_VERSION", "LRX_VERSION_MAJOR", "LRX_VERSION_MINOR"))


class HelpTest(unittest.TestCase):
    maxDiff = None

    def test_manual_pages(self):
        """Every option of --help is in the manual page and no other; lumrax's commands too
        (and help, the command form of --help)."""
        for env, page in (("LRX_LUMRAX", "lumrax.1"), ("LRX_SIM", "lumrax-sim.1")):
            with self.subTest(page=page):
                man = read(os.path.join(DIST, page))
                self.assertSetEqual(long_options(man), long_options(help_text(os.environ[env])))
        man = read(os.path.join(DIST, "lumrax.1")).split("\n.SH COMMANDS\n")[1].split("\n.SH")[0]
        self.assertSetEqual(set(re.findall(r"^\.TP\n\.BI? ([a-z]+)\b", man, re.M)),
                            help_commands(help_text(os.environ["LRX_LUMRAX"])) | {"help"})

    def test_completion_offers_what_help_lists(self):
        text = help_text(os.environ["LRX_LUMRAX"])
        script = os.path.join(DIST, "lumrax.bash")
        self.assertSetEqual(set(complete(script, "lumrax", "")), help_commands(text) | {"help"})
        self.assertSetEqual(set(complete(script, "lumrax", "--")), long_options(text))


class PackageTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.version, self.major, self.minor = built_version()
        folder = os.environ["LRX_PACKAGES"]
        self.zip = os.path.join(folder, f"LUM_RAX_COM-{self.version}-win64.zip")
        self.deb = os.path.join(folder, f"lumrax_{self.version}_amd64.deb")
        self.assertEqual(sorted(glob.glob(os.path.join(folder, "*"))), sorted([self.zip, self.deb]),
                         "the packages of this build, and nothing else")
        runs = os.environ.get("LRX_RELEASE_RUNS") or os.path.join(os.getcwd(), "release-runs")
        self.dir = os.path.join(runs, self.id().split(".")[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)

    def test_windows_zip(self):
        top = os.path.basename(self.zip)[:-len(".zip")]
        with zipfile.ZipFile(self.zip) as z:
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")), [
                f"{top}/{name}" for name in
                ("LICENSE.txt", "LUM_RAX_COM.exe", "README.txt", "lumrax.exe")])
            z.extractall(self.dir)
        files = os.path.join(self.dir, top)
        # Plain text with Windows' line ends.
        readme = read(os.path.join(files, "README.txt"), "rb")
        self.assertNotIn(b"\n", readme.replace(b"\r\n", b""))
        self.assertTrue(readme.startswith(f"LUM_RAX_COM {self.version}\r\n".encode("ascii")))
        readme.decode("ascii")
        self.assertEqual(read(os.path.join(files, "LICENSE.txt"), "rb"),
                         read(os.path.join(SOURCE, "LICENSE"), "rb").replace(b"\n", b"\r\n"))

        for exe, subsystem, description in (
                ("LUM_RAX_COM.exe", "(Windows GUI)", "LUM_RAX_COM service tool"),
                ("lumrax.exe", "(Windows CUI)", "LUM_RAX_COM command line")):
            with self.subTest(exe=exe):
                path = os.path.join(files, exe)
                rc, headers, _ = run("x86_64-w64-mingw32-objdump", "-p", path)
                self.assertEqual(rc, 0)
                self.assertRegex(headers, r"\nSubsystem\s+\S+\s+" + re.escape(subsystem))
                rc, rc_text, err = run("x86_64-w64-mingw32-windres", "-i", path, "-O", "rc")
                self.assertEqual((rc, err), (0, ""))
                info = rc_text[rc_text.index(" VERSIONINFO\n"):]
                info = info[:info.index("\nEND\n")]
                fixed = dict(re.findall(r"^ (FILEVERSION|PRODUCTVERSION) (.*)$", info, re.M))
                numbers = f"{self.major}, {self.minor}, 0, 0"
                self.assertEqual(fixed, {"FILEVERSION": numbers, "PRODUCTVERSION": numbers})
                self.assertEqual(dict(re.findall(r'VALUE "(\w+)", "(.*)"', info)), {
                    "CompanyName": "The LUM_RAX_COM authors", "FileDescription": description,
                    "FileVersion": self.version, "InternalName": exe,
                    "LegalCopyright": "Copyright (c) 2026 The LUM_RAX_COM authors, MIT License",
                    "OriginalFilename": exe, "ProductName": "LUM_RAX_COM",
                    "ProductVersion": self.version})

    def test_debian_package(self):
        rc, info, err = run("dpkg-deb", "--info", self.deb)
        self.assertEqual((rc, err), (0, ""))
        fields = dict(re.findall(r"^ ([A-Z][\w-]*): (.*)$", info, re.M))
        self.assertEqual({k: fields.get(k) for k in (
            "Package", "Version", "Architecture", "Section", "Priority", "Suggests")}, {
            "Package": "lumrax", "Version": self.version, "Architecture": "amd64",
            "Section": "electronics", "Priority": "optional", "Suggests": "bash-completion"})
        self.assertRegex(fields["Maintainer"], r"^[^<>]+ <[^<>@\s]+@[^<>@\s]+>$")
        self.assertEqual(fields["Description"], "service tool for Lum_Rax power generators")
        self.assertRegex(info, r"\n Description: .*\n  lumrax reads .*\n(  .{1,78}\n)+")

        rc, listing, err = run("dpkg-deb", "--contents", self.deb)
        self.assertEqual((rc, err), (0, ""))
        entries = [line.split() for line in listing.splitlines()]
        self.assertEqual({e[1] for e in entries}, {"root/root"}, "owner of every entry")
        self.assertEqual(sorted((e[5], e[0]) for e in entries if not e[0].startswith("d")), [
            ("./usr/bin/lumrax", "-rwxr-xr-x"), ("./usr/bin/lumrax-sim", "-rwxr-xr-x"),
            ("./usr/share/bash-completion/completions/lumrax", "-rw-r--r--"),
            ("./usr/share/doc/lumrax/changelog.gz", "-rw-r--r--"),
            ("./usr/share/doc/lumrax/copyright", "-rw-r--r--"),
            ("./usr/share/man/man1/lumrax-sim.1.gz", "-rw-r--r--"),
            ("./usr/share/man/man1/lumrax.1.gz", "-rw-r--r--")])

        # Depends as dpkg-shlibdeps computes it: the package of every library the programs
        # load, with its version bound.
        root = os.path.join(self.dir, "root")
        self.assertEqual(run("dpkg", "-x", self.deb, root)[0], 0)
        depends = dict(re.findall(r"([a-z0-9.+-]+) \((>= [^)]+)\)", fields["Depends"]))
        for program in ("lumrax", "lumrax-sim"):
            rc, headers, _ = run("objdump", "-p", os.path.join(root, "usr", "bin", program))
            for lib in re.findall(r"^\s+NEEDED\s+(\S+)$", headers, re.M):
                with self.subTest(program=program, lib=lib):
                    owners = re.findall(r"^(\S+):amd64: ", run("dpkg", "-S", f"*/{lib}")[1],
                                        re.M)
                    self.assertIn(owners[0], depends)

    def test_installed_into_a_scratch_root(self):
        root = os.path.join(self.dir, "root")
        self.assertEqual(run("dpkg", "-x", self.deb, root)[0], 0)
        bin_dir = os.path.join(root, "usr", "bin")
        for program in ("lumrax", "lumrax-sim"):
            with self.subTest(program=program):
                self.assertEqual(run(os.path.join(bin_dir, program), "--version"),
                                 (0, f"{program} V{self.version}\n", ""))
                page = os.path.join(root, "usr", "share", "man", "man1", program + ".1.gz")
                rc, out, err = run("man", "--warnings", "-l", page,
                                   env={"MANWIDTH": "80", "LC_ALL": "C.UTF-8"})
                self.assertEqual((rc, err), (0, ""))
                self.assertRegex(out, r"\A%s\(1\) .*\n\nNAME\n {7}%s - " % (
                    re.escape(program.upper()), re.escape(program)))
                for section in ("SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                                "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"):
                    self.assertIn(f"\n{section}\n", out)
                self.assertIn("LUMRAX_PORT", out.split("\nENVIRONMENT\n")[1])

        script = os.path.join(root, "usr", "share", "bash-completion", "completions", "lumrax")
        ports = run(os.path.join(bin_dir, "lumrax"), "ports")[1].split()
        for words, offered in (
                (["lumrax", "fl"], ["flash"]),
                (["lumrax", "flash", "--ch"], ["--chip"]),
                (["lumrax", "flash", "fw.hex", "--chip", ""], CHIPS),
                (["lumrax", "--baud", ""], RATES),
                (["lumrax", "info", "--port", ""], ports)):
            with self.subTest(words=words):
                self.assertEqual(complete(script, *words, path=bin_dir), offered)


if __name__ == "__main__":
    unittest.main()
