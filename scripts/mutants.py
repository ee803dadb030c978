#!/usr/bin/env python3
"""Sampled mutation testing of the library's own folders.

Every site where a one-token mutation applies is listed in a fixed order; the
lines that have one are shuffled with the seed, one mutant of each line is
drawn, and the mutants from --start to --start+COUNT are run one after
another: the mutation is written into the source file, the tree in
build-mutants/ is rebuilt incrementally (ccache), the unit, integration and
end-to-end tiers run (stopping at the first failure), and the file is restored
byte for byte, also on Ctrl-C, SIGTERM or a crash; do not edit the sources
while it runs. A mutant of a bound, an index, a size or a copy that the
ordinary tiers miss is run again under AddressSanitizer (unit and integration
tiers, in build-mutants-asan/).

One line per mutant: file:line, operator, before -> after, result
(killed, survived, no-build, timeout, equivalent). Timeouts count as killed in
the score: the tests noticed the mutant, if only by hanging. Mutants listed in
scripts/mutants-equivalent.txt (file :: line text :: mutation :: reason)
change nothing observable and are left out of the score.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["core", "platform", "link", "reader", "card", "dictionary", "services", "interface"]
# Backends that cannot be built on this system.
SKIPPED_DIRS = ["platform/win32"]
EQUIVALENTS = ROOT / "scripts" / "mutants-equivalent.txt"

# A line that touches memory bounds: its surviving mutants get the
# sanitizer run too.
BOUNDS = re.compile(
    r"\[|memcpy|memmove|memset|strn?cpy|strn?len|snprintf|sizeof|[Ss]ize|capacity|[Ll]ength|"
    r"count|room|limit|kMax")


@dataclass
class Mutant:
    file: str
    line: int  # 1-based
    op: str
    before: str
    after: str
    column: int  # 0-based start of `before` in the line
    occurrence: int  # which occurrence of `before` on the line, from 1
    text: str  # the line, stripped

    def key(self):
        return (self.file, self.text,
                f"{self.before.strip()} → {self.after.strip()} @{self.occurrence}")

    def describe(self):
        return (f"{self.file}:{self.line} {self.op} `{self.before.strip()}` → "
                f"`{self.after.strip()}` @{self.occurrence}")


# ---------------------------------------------------------------- sites


def code_only(lines):
    """Each line with comments, string and character literals blanked out
    (same length, so columns still match)."""
    out = []
    in_block = False
    for line in lines:
        chars = list(line)
        i = 0
        n = len(chars)
        while i < n:
            if in_block:
                end = line.find("*/", i)
                stop = n if end < 0 else end + 2
                for k in range(i, stop):
                    chars[k] = " "
                in_block = end < 0
                i = stop
                continue
            c = line[i]
            if line.startswith("//", i):
                for k in range(i, n):
                    chars[k] = " "
                break
            if line.startswith("/*", i):
                in_block = True
                continue
            if c == '"' or c == "'":
                # Raw strings are not used in the library.
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                for k in range(i, min(j + 1, n)):
                    chars[k] = " "
                i = j + 1
                continue
            i += 1
        out.append("".join(chars))
    return out


# Binary operators are written with a space either side (.clang-format), so
# template brackets, `->`, `<<`, `&&` of an rvalue reference and `#include
# <...>` do not match.
RELATIONAL = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > "}
EQUALITY = {" == ": " != ", " != ": " == "}
LOGICAL = {" && ": " || ", " || ": " && "}
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uU]?[lL]{0,2})(?![\w.])")
ARRAY_DECLARATION = re.compile(r"[\w:>*&]\s+\w+\[[^\]]*$")
CALL_STATEMENT = re.compile(r"^(\s*)((?:::)?[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\s*\(.*\);)\s*$")
NOT_CALLS = {"return", "if", "while", "for", "switch", "case", "delete", "throw", "sizeof",
             "else", "do", "static_assert", "goto", "co_return", "new"}
RETURN = re.compile(r"^(\s*)return\s+(.+);\s*$")


def balanced(text):
    depth = 0
    for c in text:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0


def sites_of_file(rel, lines):
    code = code_only(lines)
    mutants = []
    in_static_assert = False
    previous_end = ";"  # last non-blank character of the previous code line
    for index, (raw, masked) in enumerate(zip(lines, code)):
        stripped = masked.strip()
        if not stripped:
            continue
        starts_statement = previous_end in ";{}:"
        previous_end = stripped[-1]
        if stripped.startswith("#"):
            continue
        if "static_assert" in masked or in_static_assert:
            in_static_assert = not stripped.endswith(";")
            continue
        text = raw.strip()

        def add(op, column, before, after):
            occurrence = sum(1 for m in mutants
                             if m.line == index + 1 and m.before == before and m.column < column)
            occurrence += 1
            mutants.append(Mutant(rel, index + 1, op, before, after, column, occurrence, text))

        for table, op in ((RELATIONAL, "relational"), (EQUALITY, "equality"),
                          (LOGICAL, "logical")):
            for before, after in table.items():
                start = masked.find(before)
                while start >= 0:
                    add(op, start, before, after)
                    start = masked.find(before, start + 1)
        for match in INTEGER.finditer(masked):
            literal, suffix = match.group(1), match.group(2)
            value = int(literal, 0)
            hexadecimal = literal.lower().startswith("0x")
            declared_size = ARRAY_DECLARATION.search(masked[:match.start()]) is not None
            # A buffer declared larger than it need be changes nothing: only
            # the smaller one is a mutant worth running.
            for delta in ((-1,) if declared_size else (-1, 1)):
                changed = value + delta
                if changed < 0:
                    continue
                after = (f"0x{changed:0{len(literal) - 2}X}" if hexadecimal else str(changed))
                add("constant", match.start(), literal + suffix, after + suffix)
        returned = RETURN.match(masked)
        if returned:
            value = returned.group(2).strip()
            column = masked.index("return")
            if value in ("true", "false"):
                flipped = "false" if value == "true" else "true"
                add("return", masked.index(value, column), value, flipped)
            elif value not in ("0", "kOk", "nullptr") and not INTEGER.fullmatch(value):
                # (A returned string literal makes a mutant that does not
                # build: kept, so that a seed's order stays as it was.)
                start = masked.index(value, column + 6)
                add("return", start, raw[start:start + len(value)], "0")
        call = CALL_STATEMENT.match(masked)
        if call and starts_statement and balanced(call.group(2)):
            word = re.match(r"[\w:]+", call.group(2).lstrip(":")).group(0)
            if word not in NOT_CALLS:
                start = len(call.group(1))
                before = raw[start:start + len(call.group(2))]
                add("deleted call", start, before, ";")
    return mutants


def all_sites():
    mutants = []
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).rglob("*")):
            rel = path.relative_to(ROOT).as_posix()
            if path.suffix not in (".cpp", ".h", ".c"):
                continue
            if any(rel.startswith(d + "/") for d in SKIPPED_DIRS):
                continue
            lines = path.read_text(encoding="utf-8").split("\n")
            mutants.extend(sites_of_file(rel, lines))
    return mutants


def sample_order(mutants, seed):
    """One mutant per line, the lines in an order fixed by the seed: a row of
    a constant table with eight numbers weighs no more than a comparison."""
    lines = {}
    for mutant in mutants:
        lines.setdefault((mutant.file, mutant.line), []).append(mutant)
    generator = random.Random(seed)
    order = list(lines.values())
    generator.shuffle(order)
    return [generator.choice(line) for line in order]


def load_equivalents():
    equivalents = {}
    if not EQUIVALENTS.exists():
        return equivalents
    for number, line in enumerate(EQUIVALENTS.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        parts = [p.strip() for p in line.split(" :: ")]
        if len(parts) != 4:
            sys.exit(f"{EQUIVALENTS.name}:{number}: expected file :: line :: mutation :: reason")
        equivalents[tuple(parts[:3])] = parts[3]
    return equivalents


# ---------------------------------------------------------------- running


class Workspace:
    def __init__(self, build, asan, timeout, jobs):
        self.dir = build
        self.src = ROOT
        self.build = build
        self.asan = asan
        self.timeout = timeout
        self.jobs = jobs
        self.asan_ready = False

    def configure(self, tree, *options):
        if (tree / "build.ninja").exists():
            return True
        tree.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(
            ["cmake", "-S", str(self.src), "-B", str(tree), "-G", "Ninja",
             "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache",
             "-DKX_BUILD_BENCH=OFF", *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        return done.returncode == 0

    def run(self, command, deadline, log):
        """Runs command until it ends or the mutant's time is up; its own
        process group, so a hung test is ended with everything it started."""
        left = deadline - time.monotonic()
        if left <= 0:
            return "timeout"
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            return process.wait(timeout=left)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return "timeout"

    def build_tree(self, tree, targets, deadline, log):
        return self.run(["ninja", "-C", str(tree), "-j", str(self.jobs), *targets], deadline, log)

    def tiers(self, tree, labels, deadline, log):
        for label in labels:
            result = self.run(["ctest", "--test-dir", str(tree), "-L", f"^{label}$",
                               "--stop-on-failure", "--timeout", "120", "-j", str(self.jobs)],
                              deadline, log)
            if result != 0:
                return result
        return 0

    def baseline(self):
        """The unmutated copy builds and passes, or no mutant means anything."""
        if not self.configure(self.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"):
            sys.exit(f"cannot configure {self.build}")
        with open(self.dir / "baseline.log", "w") as log:
            deadline = time.monotonic() + 3 * 3600
            if self.build_tree(self.build, [], deadline, log) != 0:
                sys.exit(f"the unmutated sources do not build: see {self.dir}/baseline.log")
            start = time.monotonic()
            if self.tiers(self.build, ["unit", "integration", "e2e"], deadline, log) != 0:
                sys.exit(f"the unmutated sources fail their tests: see {self.dir}/baseline.log")
            return time.monotonic() - start

    def ensure_asan(self, log):
        if self.asan_ready:
            return True
        if not self.configure(self.asan, "-DCMAKE_BUILD_TYPE=Debug", "-DKX_SANITIZE=ON"):
            return False
        deadline = time.monotonic() + 3 * 3600
        self.asan_ready = (
            self.build_tree(self.asan, ["kx_unit_tests", "kx_integration_tests", "card-map"], deadline, log) == 0
            and self.tiers(self.asan, ["unit", "integration"], deadline, log) == 0)
        return self.asan_ready

    def try_mutant(self, mutant, log):
        path = self.src / mutant.file
        original = path.read_bytes()
        lines = original.decode("utf-8").split("\n")
        line = lines[mutant.line - 1]
        assert line[mutant.column:mutant.column + len(mutant.before)] == mutant.before, mutant
        lines[mutant.line - 1] = (line[:mutant.column] + mutant.after +
                                  line[mutant.column + len(mutant.before):])
        deadline = time.monotonic() + self.timeout
        # Kept until the file is restored: a run killed outright (SIGKILL,
        # power) is mended by the next run's start.
        backup = self.dir / "mutated-file.orig"
        backup.write_bytes(original)
        (self.dir / "mutated-file.path").write_text(mutant.file)
        try:
            path.write_bytes("\n".join(lines).encode("utf-8"))
            built = self.build_tree(self.build, [], deadline, log)
            if built == "timeout":
                return "timeout"
            if built != 0:
                return "no-build"
            result = self.tiers(self.build, ["unit", "integration", "e2e"], deadline, log)
            if result == "timeout":
                return "timeout"
            if result != 0:
                return "killed"
            if BOUNDS.search(mutant.text):
                # The sanitizer build gets time of its own: its first build is long.
                if not self.asan_ready:
                    # The sanitizer tree's first build and check are of the
                    # unmutated sources.
                    path.write_bytes(original)
                    ready = self.ensure_asan(log)
                    path.write_bytes("\n".join(lines).encode("utf-8"))
                    if not ready:
                        sys.exit(f"the sanitizer build of the unmutated sources fails: see {log.name}")
                deadline = time.monotonic() + self.timeout
                built = self.build_tree(self.asan, ["kx_unit_tests", "kx_integration_tests", "card-map"],
                                        deadline, log)
                if built == "timeout":
                    return "timeout"
                if built != 0:
                    return "no-build"
                result = self.tiers(self.asan, ["unit", "integration"], deadline, log)
                if result == "timeout":
                    return "timeout"
                if result != 0:
                    return "killed (asan)"
            return "survived"
        finally:
            restore(path, original)
            backup.unlink()

    def mend_interrupted_run(self):
        backup = self.dir / "mutated-file.orig"
        if backup.exists():
            name = (self.dir / "mutated-file.path").read_text()
            restore(self.src / name, backup.read_bytes())
            backup.unlink()
            print(f"restored {name}, left mutated by an interrupted run", flush=True)


def restore(path, original):
    # A fresh time, so that the next build compiles the original again.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        path.write_bytes(original)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("seed", type=int)
    parser.add_argument("count", type=int, help="how many mutants to run")
    parser.add_argument("--start", type=int, default=0,
                        help="skip this many of the shuffled list (to continue a run)")
    parser.add_argument("--timeout", type=int, default=900, help="seconds per mutant")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true", help="print the mutants, run none")
    parser.add_argument("--only", help="FILE:LINE[#K],...: every mutant of these lines (or the K-th), sampled or not")
    parser.add_argument("--build-dir", default="build-mutants",
                        help="the ordinary tree (configured here when new)")
    parser.add_argument("--asan-dir", default="build-mutants-asan",
                        help="the sanitizer tree (configured here when new)")
    arguments = parser.parse_args()

    sites = sample_order(all_sites(), arguments.seed)
    chosen = sites[arguments.start:arguments.start + arguments.count]
    if arguments.only:
        chosen = []
        every = all_sites()
        for wanted in arguments.only.split(","):
            site, _, pick = wanted.partition("#")
            of_line = [m for m in every if f"{m.file}:{m.line}" == site]
            chosen += of_line[int(pick) - 1:int(pick)] if pick else of_line
        chosen = chosen[:arguments.count]
    equivalents = load_equivalents()
    if arguments.list:
        for number, mutant in enumerate(chosen, arguments.start + 1):
            print(f"{number:4} {mutant.describe()}")
        return 0

    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(130))
    workspace = Workspace(ROOT / arguments.build_dir, ROOT / arguments.asan_dir,
                          arguments.timeout, arguments.jobs)
    print(f"{len(sites)} mutation sites; seed {arguments.seed}, mutants "
          f"{arguments.start + 1} to {arguments.start + len(chosen)}", flush=True)
    workspace.dir.mkdir(parents=True, exist_ok=True)
    workspace.mend_interrupted_run()
    seconds = workspace.baseline()
    print(f"baseline: built, tiers pass in {seconds:.0f} s", flush=True)

    counts = {}
    log_path = workspace.dir / "mutant.log"
    try:
        for number, mutant in enumerate(chosen, arguments.start + 1):
            start = time.monotonic()
            if mutant.key() in equivalents:
                result = "equivalent"
            else:
                with open(log_path, "w") as log:
                    result = workspace.try_mutant(mutant, log)
                if result == "survived":
                    shutil.copy(log_path, workspace.dir / f"survived-{number}.log")
            counts[result.split()[0]] = counts.get(result.split()[0], 0) + 1
            print(f"{number:4} {mutant.describe()}: {result} "
                  f"({time.monotonic() - start:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the sources are restored", flush=True)
    finally:
        killed = counts.get("killed", 0) + counts.get("timeout", 0)
        survived = counts.get("survived", 0)
        total = killed + survived
        score = f"{100.0 * killed / total:.1f} %" if total else "n/a"
        print(f"killed {counts.get('killed', 0)}, timeout {counts.get('timeout', 0)}, "
              f"survived {survived}, no-build {counts.get('no-build', 0)}, "
              f"equivalent {counts.get('equivalent', 0)}: score {score} "
              f"(killed+timeout / killed+timeout+survived)", flush=True)
    return 0 if survived == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
