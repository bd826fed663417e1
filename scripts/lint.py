#!/usr/bin/env python3
"""clang-tidy over the project's translation units, with a result cache.

A translation unit's result depends only on what clang-tidy reads: the
preprocessed source (comments kept, since NOLINT lives in comments; every
header it includes is in it), the compile flags, the .clang-tidy files, the
options given here and clang-tidy's version. Their hash keys the cache (by
default ~/.cache/wharf-lint, or $WHARF_LINT_CACHE), with the checkout's and the
build directory's paths replaced by placeholders, so that a fresh clone in
another directory reuses what an earlier run on the same code found. Only the
units whose key is new are linted; preprocessing costs a fraction of a second,
linting several seconds (the path-sensitive analyser most of it).

  scripts/lint.py --build DIR [--jobs N] [--files REGEX] [--exclude REGEX]
                  [--fast REGEX] [--header-filter REGEX] [--log FILE]

--fast names the units linted without the path-sensitive analyser
(clang-analyzer-*), which costs about as much as every other check together.

Prints each finding once (a header's findings come from every unit that
includes it), then one summary line; exits 1 when there are findings or a
unit could not be linted.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import time

CACHE_FORMAT = "wharf-lint 1"
PRUNE_DAYS = 30
NOISE = re.compile(r"^\d+ warnings? (and \d+ errors? )?generated|^Suppressed \d+ warnings|^Use -header-filter"
                   r"|^Error while processing|^Found compiler error")
FINDING = re.compile(r"^(/|@ROOT@).*:\d+:\d+: (error|warning): ")
COLOUR = re.compile(r"\x1b\[[0-9;]*m")


def tool_version(tidy):
    return subprocess.run([tidy, "--version"], capture_output=True, text=True, check=True).stdout


def config_files(root):
    found = []
    for base, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
        if ".clang-tidy" in files:
            found.append(os.path.join(base, ".clang-tidy"))
    return sorted(found)


class Unit:
    def __init__(self, entry, root, build):
        self.file = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        self.directory = entry["directory"]
        self.args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        self.root, self.build = root, build

    def relative(self, text):
        # The build directory lies inside the checkout: replace it first.
        return text.replace(self.build, "@BUILD@").replace(self.root, "@ROOT@")

    def preprocess_command(self):
        args, skip = [], False
        for arg in self.args:
            if skip:
                skip = False
                continue
            if arg == "-o":
                skip = True
                continue
            if arg == "-c" or arg.startswith("-o"):
                continue
            args.append(arg)
        return args + ["-E", "-C", "-o", "-"]


def unit_key(unit, common):
    pre = subprocess.run(unit.preprocess_command(), cwd=unit.directory, capture_output=True)
    if pre.returncode != 0:
        return None  # let clang-tidy report the compile error
    h = hashlib.sha256(common)
    if unit.checks:
        h.update(b"checks=" + unit.checks.encode() + b"\0")
    h.update(unit.relative(unit.file).encode() + b"\0")
    h.update(unit.relative(" ".join(unit.args)).encode() + b"\0")
    h.update(unit.relative(pre.stdout.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape"))
    return h.hexdigest()


def lint_unit(unit, tidy_args):
    start = time.monotonic()
    checks = ["--checks=" + unit.checks] if unit.checks else []
    run = subprocess.run(tidy_args + checks + [unit.file], capture_output=True)
    text = COLOUR.sub("", (run.stdout + run.stderr).decode("utf-8", "replace"))
    lines = [line for line in text.splitlines() if not NOISE.match(line)]
    return run.returncode, unit.relative("\n".join(lines)), time.monotonic() - start


def findings(text):
    """Splits clang-tidy output into findings (a diagnostic and its notes)."""
    blocks, current = [], []
    for line in text.splitlines():
        if FINDING.match(line) and current:
            blocks.append("\n".join(current))
            current = []
        current.append(line)
    if current:
        blocks.append("\n".join(current))
    return [b for b in blocks if b.strip()]


def prune(cache):
    cutoff = time.time() - PRUNE_DAYS * 86400
    for base, _, files in os.walk(cache):
        for name in files:
            path = os.path.join(base, name)
            try:
                if os.path.getmtime(path) < cutoff:
                    os.unlink(path)
            except OSError:
                pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--files", default=None, help="regex on absolute paths (default: src, tests, bench)")
    parser.add_argument("--exclude", default=None, help="regex of units, and of finding locations, left out")
    parser.add_argument("--fast", default=None, help="regex of units linted without clang-analyzer-*")
    parser.add_argument("--header-filter", default=None)
    parser.add_argument("--cache", default=os.environ.get("WHARF_LINT_CACHE",
                                                          os.path.expanduser("~/.cache/wharf-lint")))
    parser.add_argument("--tidy", default="clang-tidy")
    parser.add_argument("--log", default=None, help="also write the findings and per-unit times here")
    opts = parser.parse_args()

    root = os.path.realpath(opts.root)
    build = os.path.realpath(opts.build)
    files = re.compile(opts.files or "^" + re.escape(root) + "/(src|tests|bench)/")
    exclude = re.compile(opts.exclude) if opts.exclude else None
    fast = re.compile(opts.fast) if opts.fast else None
    header_filter = opts.header_filter or "^" + re.escape(root) + "/(src|tests|bench)/"
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    units, seen = [], set()
    for entry in entries:
        unit = Unit(entry, root, build)
        if files.search(unit.file) and unit.file not in seen and not unit.file.startswith(build + "/"):
            seen.add(unit.file)
            if exclude and exclude.search(unit.file):
                continue
            unit.checks = "-clang-analyzer-*" if fast and fast.search(unit.file) else ""
            units.append(unit)

    tidy_args = [opts.tidy, "-p", build, "--quiet", "--header-filter=" + header_filter]
    common = hashlib.sha256()
    common.update(CACHE_FORMAT.encode() + b"\0" + tool_version(opts.tidy).encode() + b"\0")
    common.update(("checks=\0header-filter=" + header_filter.replace(root, "@ROOT@")).encode())
    for path in config_files(root):
        common.update(b"\0" + os.path.relpath(path, root).encode() + b"\0")
        with open(path, "rb") as f:
            common.update(f.read())
    common = common.hexdigest().encode()

    os.makedirs(opts.cache, exist_ok=True)
    started = time.monotonic()

    def one(unit):
        key = unit_key(unit, common)
        path = os.path.join(opts.cache, key[:2], key[2:] + ".json") if key else None
        if path and os.path.exists(path):
            try:
                with open(path) as f:
                    cached = json.load(f)
                os.utime(path)
                return unit, cached["rc"], cached["out"], None
            except (OSError, ValueError, KeyError):
                pass
        rc, out, seconds = lint_unit(unit, tidy_args)
        if path and rc >= 0:  # a unit clang-tidy crashed on is tried again next time
            os.makedirs(os.path.dirname(path), exist_ok=True)
            tmp = path + ".%d.tmp" % os.getpid()
            with open(tmp, "w") as f:
                json.dump({"rc": rc, "out": out, "file": unit.relative(unit.file), "seconds": round(seconds, 2)}, f)
            os.replace(tmp, path)
        return unit, rc, out, seconds

    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, opts.jobs)) as pool:
        for result in pool.map(one, units):
            results.append(result)

    printed, failed_units, linted, cpu = [], [], 0, 0.0
    for unit, rc, out, seconds in results:
        if seconds is not None:
            linted += 1
            cpu += seconds
        every = findings(out.replace("@ROOT@", root))
        blocks = [b for b in every if not (exclude and exclude.search(b.split(":")[0]))]
        if rc != 0 and not any(FINDING.match(b) for b in every):
            # Failed with nothing to show (a crash, say): named, so that it is not lost.
            failed_units.append(unit)
            blocks.append("lint: %s failed without a finding:\n%s" % (unit.file, out.replace("@ROOT@", root)))
        elif rc != 0 and any(FINDING.match(b) for b in blocks):
            failed_units.append(unit)
        for block in blocks:
            if block not in printed:
                printed.append(block)
    report = "\n".join(printed)
    if report:
        print(report)
    count = sum(1 for b in printed if FINDING.match(b))
    summary = ("lint: %d units, %d from the cache, %d linted (%.0f s of clang-tidy), %.0f s; %s"
               % (len(units), len(units) - linted, linted, cpu, time.monotonic() - started,
                  "%d findings" % count if failed_units else "no findings"))
    print(summary)
    if opts.log:
        with open(opts.log, "w") as f:
            f.write(report + "\n")
            for unit, rc, _, seconds in sorted(results, key=lambda r: -(r[3] or 0)):
                if seconds is not None:
                    f.write("%8.1f s  rc %d  %s\n" % (seconds, rc, unit.relative(unit.file)))
            f.write(summary + "\n")
    prune(opts.cache)
    return 1 if failed_units else 0


if __name__ == "__main__":
    sys.exit(main())
