#!/usr/bin/env python3
"""Mutation testing of the lines a change touched.

Each mutant is one small, plausible slip put into one changed line of src/ (a
comparison or logical operator swapped or negated, a constant off by one,
true/false swapped, a statement, call, return or lock removed, an else branch
dropped, break/continue swapped). It is built incrementally in a scratch copy
of the tree (never the developer's build) and the tests of the changed
directories run against it. A mutant is killed only when a test that failed
fails again when run once more, so that a test that fails now and then under
load kills nothing; one that does not compile is dropped and not counted.

    scripts/mutate.py [--base REV] [--n N] [--seed S] [--tests REGEX] [--jobs J]

What it prints: a line per mutant, "killed <test>" or
"SURVIVED <file:line> <the change>", then "N mutants, K killed, S survived".
The survivors' diffs are kept in <dir>/survivors/.
"""
import argparse
import difflib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

SOURCE_SUFFIXES = (".cpp", ".cc", ".c", ".h", ".hpp")
GUI_WRAPPER = ["dbus-run-session", "--", "xvfb-run", "-a", "-s", "-screen 0 1280x1024x24"]


def run(cmd, **kw):
    return subprocess.run(cmd, text=True, **kw)


def git(root, *args):
    return run(["git", "-C", root, *args], check=True, capture_output=True).stdout


# --- which lines changed -----------------------------------------------------


def default_base(root):
    for ref in ("main", "origin/main"):
        probe = run(["git", "-C", root, "merge-base", "HEAD", ref], capture_output=True)
        if probe.returncode == 0:
            return probe.stdout.strip()
    sys.exit("mutate: no main branch to start from; name one with MUTATE_BASE")


def changed_lines(root, base):
    """{path: sorted line numbers} of the source lines under src/ that the
    working tree adds or alters relative to `base` (committed or not)."""
    diff = git(root, "diff", "-U0", "--no-color", "--no-ext-diff", base, "--", "src")
    lines, path = {}, None
    for text in diff.splitlines():
        if text.startswith("+++ "):
            name = text[4:]
            path = name[2:] if name.startswith("b/") else None
            if path and not path.endswith(SOURCE_SUFFIXES):
                path = None
        elif text.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", text)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(path, set()).update(range(start, start + count))
    untracked = git(root, "ls-files", "--others", "--exclude-standard", "--", "src").split()
    for path in untracked:
        if path.endswith(SOURCE_SUFFIXES):
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                lines[path] = set(range(1, sum(1 for _ in f) + 1))
    return {p: sorted(n) for p, n in lines.items() if n}


# --- mutation operators --------------------------------------------------------


def mask(line, state):
    """The line with string and character literals and comments blanked out
    (same length, so positions still match), and what is still open at its
    end: None, "/*" for a block comment, or ')delim"' for a raw string."""
    out, i, n = [], 0, len(line)
    while i < n:
        if state:
            end = line.find(state, i)
            if end < 0:
                out.append(" " * (n - i))
                return "".join(out), state
            out.append(" " * (end + len(state) - i))
            i, state = end + len(state), None
            continue
        c = line[i]
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if line.startswith("/*", i):
            out.append("  ")
            i, state = i + 2, "*/"
            continue
        raw = re.match(r'(?:u8|[uUL])?R"([^ ()\\]{0,16})\(', line[i:]) if c in "uUL8R" else None
        if raw and (i == 0 or not (line[i - 1].isalnum() or line[i - 1] == "_")):
            out.append(" " * raw.end())
            i, state = i + raw.end(), ")" + raw.group(1) + '"'
            continue
        if c in "\"'" and not (c == "'" and i > 0 and line[i - 1].isalnum()):
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + (c if j - i >= 2 else ""))
            i = j
            continue
        out.append(c)
        i += 1
    return "".join(out), state


COMPARISONS = {"==": ["!="], "!=": ["=="], "<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"]}
NOT_A_STATEMENT = re.compile(
    r"^(return|break|continue|case|default|goto|else|if|for|while|do|switch|typedef|using|namespace|template|"
    r"struct|class|enum|union|static|const|constexpr|auto|extern|friend|public|private|protected|co_return|"
    r"throw|delete|#)\b"
)
DECLARATION = re.compile(r"^[\w:]+(<.*>)?[\s*&]+[\w]+\s*(=|\{|\(|;|\[)")
LOCK = re.compile(r"\bstd::(lock_guard|unique_lock|scoped_lock|shared_lock)\b")


def balanced(code):
    return code.count("(") == code.count(")") and code.count("{") == code.count("}")


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def mutants_of_line(line, code, starts_statement):
    """(description, mutated line) for each mutant of one line; `code` is the
    line masked of literals and comments."""
    found = []

    def replace(start, end, new, what):
        found.append((what, line[:start] + new + line[end:]))

    stripped = code.strip()
    if not stripped or stripped.startswith("#"):
        return found
    # Binary comparisons and logical operators: clang-format puts spaces
    # around them, and not around template brackets, shifts or arrows.
    for m in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", code):
        for new in COMPARISONS[m.group(1)]:
            replace(m.start(), m.end(), new, f"'{m.group(1)}' -> '{new}'")
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        new = "||" if m.group(1) == "&&" else "&&"
        replace(m.start(), m.end(), new, f"'{m.group(1)}' -> '{new}'")
    # A condition negated, a negation dropped.
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        close = matching_paren(code, m.end() - 1)
        cond = line[m.end() : close] if close > 0 else ""
        # "!x" negated is "x": the dropped '!' below makes that mutant.
        if cond and not re.fullmatch(r"!\s*[\w:.>\-]+(\(.*\))?", code[m.end() : close].strip()):
            found.append((f"{m.group(1)} condition negated", line[: m.end()] + "!(" + cond + ")" + line[close:]))
    for m in re.finditer(r"!(?!=)(?=[\w(])", code):
        replace(m.start(), m.end(), "", "'!' dropped")
    # Constants off by one (decimal integers, with an integer or chrono suffix).
    for m in re.finditer(r"(?<![\w.'])(\d+)(?=(?:[uUlL]*|ms|s|min|h|us|ns)(?![\w.'\"]))", code):
        value = int(m.group(1))
        for new in (value + 1, value - 1):
            if new >= 0:
                replace(m.start(), m.end(), str(new), f"{value} -> {new}")
    for m in re.finditer(r"\b(true|false)\b", code):
        new = "false" if m.group(1) == "true" else "true"
        replace(m.start(), m.end(), new, f"{m.group(1)} -> {new}")
    for m in re.finditer(r"\b(break|continue)\s*;", code):
        new = "continue;" if m.group(1) == "break" else "break;"
        replace(m.start(), m.end(), new, f"{m.group(1)} -> {new[:-1]}")
    # An else branch dropped.
    for m in re.finditer(r"\belse\b(?!\s+if\b)", code):
        replace(m.start(), m.end(), "else if (false)", "else branch dropped")
    # Whole statements removed: a lock, a return, a call or an assignment
    # that stands alone on its line.
    if starts_statement and stripped.endswith(";") and balanced(stripped):
        indent = line[: len(line) - len(line.lstrip())]
        if LOCK.search(code):
            found.append(("lock removed", indent + ";"))
        elif re.match(r"^return\b", stripped):
            found.append(("return removed", indent + ";"))
        elif not NOT_A_STATEMENT.match(stripped) and not DECLARATION.match(stripped):
            if re.match(r"^[\w:.\->\[\]()*&]+\s*\(", stripped):
                found.append(("call removed", indent + ";"))
            elif re.match(r"^[\w.\->\[\]*]+\s*([-+*/|&^]?=|\+\+|--)", stripped) or re.match(r"^(\+\+|--)", stripped):
                found.append(("statement removed", indent + ";"))
    return found


def mutants_of_file(root, path, wanted):
    with open(os.path.join(root, path), encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    result, state, previous = [], None, ";"
    for number, line in enumerate(lines, 1):
        code, state_after = mask(line, state)
        if number in wanted and not state:
            starts = previous.endswith((";", "{", "}", ":", ")")) or previous.endswith("else")
            for what, new in mutants_of_line(line, code, starts):
                if new != line:
                    result.append({"file": path, "line": number, "what": what, "new": new, "old": line})
        state = state_after
        if code.strip():
            previous = code.strip()
    return result


def sample(candidates, seed):
    """Mutants in the order to try them: spread over the files (round robin),
    and over the lines within a file before a second operator of one line."""
    rng = random.Random(seed)
    by_file = {}
    for c in candidates:
        by_file.setdefault(c["file"], {}).setdefault(c["line"], []).append(c)
    queues = {}
    for path, by_line in by_file.items():
        for group in by_line.values():
            rng.shuffle(group)
        rounds = []
        while any(by_line.values()):
            layer = [group.pop() for group in by_line.values() if group]
            rng.shuffle(layer)
            rounds.extend(layer)
        queues[path] = rounds
    files = sorted(queues)
    rng.shuffle(files)
    while files:
        for path in list(files):
            yield queues[path].pop(0)
            if not queues[path]:
                files.remove(path)


# --- the scratch tree and its build ---------------------------------------------


def sync_tree(root, tree):
    """Copies the working tree's files to `tree`, writing only those that
    differ, so that the scratch build stays incremental."""
    files = git(root, "ls-files", "-co", "--exclude-standard", "-z").split("\0")
    files = [f for f in files if f and os.path.isfile(os.path.join(root, f))]
    wanted = set(files)
    for f in files:
        source, target = os.path.join(root, f), os.path.join(tree, f)
        with open(source, "rb") as s:
            data = s.read()
        if os.path.exists(target):
            with open(target, "rb") as t:
                if t.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as t:
            t.write(data)
        shutil.copymode(source, target)
    for dirpath, _, names in os.walk(tree):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), tree)
            if rel not in wanted:
                os.remove(os.path.join(dirpath, name))


_stamp = [time.time()]


def write_source(path, text):
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)
    # Always later than any stamp before, so that make sees every change.
    _stamp[0] = max(_stamp[0] + 1, time.time())
    os.utime(path, (_stamp[0], _stamp[0]))


def configure(tree, build, log):
    flags = "-O2 -DNDEBUG -Werror=return-type"
    cmd = ["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DWHARF_WERROR=OFF",
           f"-DCMAKE_C_FLAGS_RELWITHDEBINFO={flags}", f"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO={flags}"]
    if run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
        sys.exit(f"mutate: cmake failed to configure the scratch tree (see {log.name})")


def build(build_dir, targets, jobs, log):
    cmd = ["cmake", "--build", build_dir, "-j", str(jobs)]
    if targets:
        cmd += ["--target", *targets]
    return run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode == 0


# --- which tests, and running them ------------------------------------------------


def test_dirs_for(tree, paths):
    """tests/<same path as src/> for each changed file, or its nearest parent
    that exists."""
    dirs = set()
    for path in paths:
        parts = os.path.dirname(path).split("/")[1:]
        while parts and not os.path.isfile(os.path.join(tree, "tests", *parts, "CMakeLists.txt")):
            parts.pop()
        if parts:
            dirs.add(os.path.join("tests", *parts))
    # A directory whose parent is also chosen is run with its parent.
    return sorted(d for d in dirs if not any(d.startswith(o + "/") for o in dirs))


def list_tests(build_dir, test_dir, regex):
    cmd = ["ctest", "--test-dir", os.path.join(build_dir, test_dir), "--show-only=json-v1"]
    if regex:
        cmd += ["-R", regex]
    out = run(cmd, check=True, capture_output=True).stdout
    tests = []
    for t in json.loads(out).get("tests", []):
        labels = next((p["value"] for p in t.get("properties", []) if p["name"] == "LABELS"), [])
        tests.append({"name": t["name"], "exe": t["command"][0] if t.get("command") else "",
                      "gui": "gui" in labels})
    return tests


def cmake_regex(names):
    return "^(" + "|".join(re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", n) for n in names) + ")$"


class Suite:
    """The tests a mutant must face: per test directory, unit ones side by
    side, gui ones one at a time under Xvfb with a session bus of their own."""

    def __init__(self, build_dir, groups, jobs, work):
        self.build_dir, self.groups, self.jobs, self.work = build_dir, groups, jobs, work
        self.excluded = set()

    def _ctest(self, test_dir, names, gui, stop):
        junit = os.path.join(self.work, "junit.xml")
        if os.path.exists(junit):
            os.remove(junit)
        cmd = ["ctest", "--test-dir", os.path.join(self.build_dir, test_dir), "-R", cmake_regex(names),
               "-j", "1" if gui else str(self.jobs), "--output-junit", junit, "--no-tests=ignore"]
        if stop:
            cmd.append("--stop-on-failure")
        if gui:
            cmd = GUI_WRAPPER + cmd
        with open(os.path.join(self.work, "ctest.log"), "a") as log:
            run(cmd, stdout=log, stderr=subprocess.STDOUT)
        failed = []
        if os.path.exists(junit):
            for case in ET.parse(junit).getroot().iter("testcase"):
                if case.get("status") == "fail":
                    failed.append(case.get("name"))
        return failed

    def failures(self, stop, only=None):
        failed = []
        for test_dir, tests in self.groups:
            for gui in (False, True):
                names = [t["name"] for t in tests if t["gui"] == gui and t["name"] not in self.excluded
                         and (only is None or t["name"] in only)]
                if names:
                    failed += self._ctest(test_dir, names, gui, stop)
                if failed and stop:
                    return failed
        return failed

    def killer(self):
        """The test that kills the mutant built now (failed twice), or None."""
        for stop in (True, False):
            first = self.failures(stop)
            if not first:
                return None
            again = self.failures(False, only=set(first))
            if again:
                return again[0] + (f" (and {len(again) - 1} more)" if len(again) > 1 else "")
        return None


# --- the run -------------------------------------------------------------------------


def main():
    p = argparse.ArgumentParser(description="Mutants of the lines a change touched, built and tested one at a time.")
    p.add_argument("--base", default=os.environ.get("MUTATE_BASE") or None,
                   help="the revision the change is measured from (default: where HEAD left main)")
    p.add_argument("--n", type=int, default=int(os.environ.get("MUTATE_N") or 20), help="mutants to test")
    p.add_argument("--seed", default=os.environ.get("MUTATE_SEED") or None, help="repeat an earlier run's choice")
    p.add_argument("--tests", default=os.environ.get("MUTATE_TESTS") or None,
                   help="a ctest regex of the tests to run instead of the changed directories' own")
    p.add_argument("--files", default=os.environ.get("MUTATE_FILES") or None,
                   help="a regex: only changed files whose path it matches")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    p.add_argument("--dir", default=os.environ.get("MUTATE_DIR") or "build-mutate")
    args = p.parse_args()
    try:
        os.nice(19)
    except OSError:
        pass

    root = git(os.getcwd(), "rev-parse", "--show-toplevel").strip()
    work = os.path.abspath(os.path.join(root, args.dir))
    tree, build_dir = os.path.join(work, "tree"), os.path.join(work, "build")
    os.makedirs(work, exist_ok=True)
    base = args.base or default_base(root)
    seed = args.seed if args.seed is not None else str(random.randrange(1 << 30))
    print(f"mutate: lines changed since {git(root, 'rev-parse', '--short', base).strip()}, "
          f"seed {seed} (MUTATE_SEED={seed} repeats this choice)", flush=True)

    changed = changed_lines(root, base)
    if args.files:
        changed = {p: n for p, n in changed.items() if re.search(args.files, p)}
    candidates = []
    for path, numbers in sorted(changed.items()):
        candidates += mutants_of_file(root, path, set(numbers))
    if not candidates:
        print("mutate: no changed source line under src/ to mutate")
        print("0 mutants, 0 killed, 0 survived")
        return 0
    print(f"mutate: {len(candidates)} possible mutants on {sum(len(n) for n in changed.values())} changed lines "
          f"of {len(changed)} files", flush=True)

    build_log = open(os.path.join(work, "build.log"), "w")
    sync_tree(root, tree)
    configure(tree, build_dir, build_log)
    print("mutate: building the scratch tree (the first time takes as long as a full build)", flush=True)
    if not build(build_dir, [], args.jobs, build_log):
        sys.exit(f"mutate: the unchanged tree does not build (see {build_log.name})")

    dirs = test_dirs_for(tree, changed) if not args.tests else ["."]
    groups = [(d, list_tests(build_dir, d, args.tests)) for d in dirs]
    groups = [(d, t) for d, t in groups if t]
    if not groups:
        sys.exit("mutate: no tests to run for the changed directories (name some with MUTATE_TESTS)")
    targets = sorted({os.path.basename(t["exe"]) for _, tests in groups for t in tests if t["exe"]})
    suite = Suite(build_dir, groups, args.jobs, work)
    print("mutate: tests of " + ", ".join(f"{d} ({len(t)})" for d, t in groups), flush=True)
    # What fails without any mutant (twice) cannot tell a mutant apart.
    broken = suite.failures(False)
    if broken:
        broken = suite.failures(False, only=set(broken))
        suite.excluded = set(broken)
        for name in broken:
            print(f"mutate: left out, failing without a mutant: {name}", flush=True)

    survivors_dir = os.path.join(work, "survivors")
    shutil.rmtree(survivors_dir, ignore_errors=True)
    os.makedirs(survivors_dir)
    tested = killed = dropped = 0
    originals = {}
    for mutant in sample(candidates, seed):
        if tested >= args.n:
            break
        path = os.path.join(tree, mutant["file"])
        if path not in originals:
            with open(path, encoding="utf-8", errors="surrogateescape") as f:
                originals[path] = f.read()
        lines = originals[path].split("\n")
        lines[mutant["line"] - 1] = mutant["new"]
        write_source(path, "\n".join(lines))
        where = f"{mutant['file']}:{mutant['line']}"
        change = f"{mutant['what']}: {mutant['new'].strip()}"
        try:
            if not build(build_dir, targets, args.jobs, build_log):
                dropped += 1
                print(f"dropped {where} {change} (does not compile)", flush=True)
                continue
            tested += 1
            killer = suite.killer()
            if killer:
                killed += 1
                print(f"killed {killer}  ({where} {mutant['what']})", flush=True)
            else:
                print(f"SURVIVED {where} {change}", flush=True)
                diff = difflib.unified_diff([mutant["old"] + "\n"], [mutant["new"] + "\n"],
                                            f"a/{mutant['file']}", f"b/{mutant['file']}",
                                            lineterm="\n", n=0)
                name = f"{tested:03d}-{mutant['file'].replace('/', '_')}-{mutant['line']}.diff"
                with open(os.path.join(survivors_dir, name), "w") as f:
                    f.write(f"# {where} {mutant['what']}\n")
                    f.writelines(l.replace("@@ -1 +1 @@", f"@@ -{mutant['line']} +{mutant['line']} @@") for l in diff)
        finally:
            write_source(path, originals[path])
    # Leave the scratch build matching the tree, for the next run.
    build(build_dir, targets, args.jobs, build_log)
    note = f" ({dropped} more did not compile and are not counted)" if dropped else ""
    print(f"{tested} mutants, {killed} killed, {tested - killed} survived{note}")
    if tested - killed:
        print(f"mutate: the survivors' diffs are in {survivors_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
