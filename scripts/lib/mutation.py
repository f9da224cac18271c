#!/usr/bin/python3
"""Mutation testing of the shipped code, the recording programs and the
replay (scripts/mutation runs this).

Mutants come from the code's syntax: libclang parses each source in scope
with the flags the build uses, and each mutant is one exact source range
replaced. A mutant is applied in a worker's own copy of the tree, rebuilt
incrementally (ninja, only the test programs it needs), and judged by the
tests that cover its line (per-test line coverage from the coverage build,
cached until a source changes). A failing test is run again alone to confirm
the kill; a test that runs past its time limit kills the mutant by timeout.
Every test runs in private PID, mount and network namespaces.

Debian's /usr/bin/python3 with python3-clang-14.
"""
import argparse
import fnmatch
import hashlib
import html
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

# What is mutated: a folder (all of it) or a pattern of paths. Of the virtual
# goggles only the replay, which judges recordings, is code to be trusted;
# the rest are models the tests stand on.
SHIPPED = ["app", "i2c", "video", "keys", "service", "buzzer", "os", "recording", "vgoggles/replay*.cpp"]
# The mutants' build: the host build without -Werror (a mutant that only
# draws a warning is for the tests to judge) and without the simulator.
# The simulator's replay is built too: the replay tests run its command line.
MUTANT_CMAKE_ARGS = ["-DAVMENU_WERROR=OFF", "-DAVMENU_SIMULATOR=ON"]
COVERAGE_CMAKE_ARGS = ["-DAVMENU_SIMULATOR=OFF"]

RELATIONAL = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"], "==": ["!="], "!=": ["=="]}
ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["/"], "<<": [">>"], ">>": ["<<"],
              "&": ["|"], "|": ["&"], "^": ["&"],
              "+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="], "|=": ["&="], "&=": ["|="], "^=": ["&="]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
LINE_CACHE = {}


def say(*a):
    print("mutation:", *a, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- the tree

def in_scope(path, shipped):
    """Whether path is under one of the folders of shipped or matches one of its patterns."""
    return any(path.startswith(s.rstrip("/") + "/") or fnmatch.fnmatchcase(path, s) for s in shipped)


def source_files(root):
    """The files of the tree as the project has them (git's view when it is a repository)."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard", "."],
                             capture_output=True, text=True, check=True).stdout
        files = [f for f in out.splitlines() if f and os.path.isfile(os.path.join(root, f))]
        if files:
            return files
    except (subprocess.CalledProcessError, FileNotFoundError):
        pass
    files = []
    for d, dirs, names in os.walk(root):
        dirs[:] = [x for x in dirs if x not in ("build", ".git", "dist")]
        files += [os.path.relpath(os.path.join(d, n), root) for n in names]
    return files


def tree_hash(root, files):
    h = hashlib.sha256()
    for f in sorted(files):
        if re.search(r"(\.(cpp|h|cmake|json|sh)|CMakeLists\.txt)$", f):
            h.update(f.encode() + b"\0")
            with open(os.path.join(root, f), "rb") as fh:
                h.update(hashlib.sha256(fh.read()).digest())
    return h.hexdigest()


def sync_copy(root, files, dest):
    """Mirrors the tree into dest, touching only files whose content differs,
    so that ninja rebuilds in the copy only what really changed."""
    for f in files:
        src = os.path.join(root, f)
        dst = os.path.join(dest, f)
        with open(src, "rb") as fh:
            data = fh.read()
        try:
            with open(dst, "rb") as fh:
                if fh.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as fh:
            fh.write(data)
        shutil.copymode(src, dst)


# ------------------------------------------------------ private namespaces

def namespace_prefix():
    """The wrapper every test runs under: private PID, mount and network
    namespaces with loopback up, the ways scripts/lib/private-run takes (the
    second one under chroot: only /proc made private). Without them the run
    stops: a mutant that signals the wrong process would reach whatever
    runs on the machine, and the two workers' stand-ins would meet."""
    ways = ((["unshare", "-p", "-f", "--mount-proc", "-n"], 'ip link set lo up && exec "$@"'),
            (["unshare", "-p", "-f", "-m", "--propagation", "unchanged", "-n"],
             'mountpoint -q /proc && mount --make-rprivate /proc && mount -t proc proc /proc && '
             'ip link set lo up && exec "$@"'))
    why = ""
    for unshare, inside in ways:
        r = subprocess.run(unshare + ["--", "bash", "-c", inside, "ns", "true"], capture_output=True, text=True)
        if r.returncode == 0:
            return unshare + ["--", "bash", "-c", inside, "ns"]
        why = why or (r.stderr.strip().splitlines() or ["no reason given"])[-1]
    say("no private namespaces here (%s): mutants are run only where each test has its own" % why)
    sys.exit(3)


def run_test(prefix, test, build, seconds, env=None, output=None):
    """One test; returns 'pass', 'fail' or 'timeout'. The time limit is pid 1
    of the namespace: when it ends the test, the kernel ends all the rest.
    Its output goes to a file, as under ctest to a pipe: never to /dev/null,
    which a test may tell from its own standard error."""
    cmd = [test["command"][0].replace("@BUILD@", build)] + test["command"][1:]
    cwd = test["cwd"].replace("@BUILD@", build)
    full = prefix + ["timeout", "-s", "KILL", str(int(seconds) + 1)] + cmd
    log = output or os.path.join(build, "mutation-test.log")
    sink = open(log, "wb")
    try:
        r = subprocess.run(full, cwd=cwd, stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT,
                           timeout=seconds + 30, env=env)
    except subprocess.TimeoutExpired:
        return "timeout"
    finally:
        sink.close()
    if r.returncode in (124, 137, -9):
        return "timeout"
    if test.get("pass_regex") is not None:  # judged by its output, as ctest does, whatever its status
        with open(log, "rb") as fh:
            text = fh.read().decode("utf-8", "replace")
        return "pass" if any(re.search(p, text, re.S) for p in test["pass_regex"]) else "fail"
    return "pass" if r.returncode == 0 else "fail"


# ------------------------------------------------------------ the tests

def configure(root, build, preset, extra):
    # Configured again when the options change: a build keeps its cache.
    stamp = os.path.join(build, "mutation-options")
    wanted = " ".join([preset] + extra)
    have = open(stamp).read() if os.path.exists(stamp) else None
    if not os.path.exists(os.path.join(build, "compile_commands.json")) or have != wanted:
        cmd = ["cmake", "-S", root, "--preset", preset, "-B", build,
               "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"] + extra
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit("mutation: configure of %s failed:\n%s" % (build, r.stdout[-3000:] + r.stderr[-3000:]))
        with open(stamp, "w") as fh:
            fh.write(wanted)


def ninja(build, targets=(), log=None, jobs=0):
    r = subprocess.run(["ninja", "-C", build] + (["-j%d" % jobs] if jobs else []) + list(targets),
                       capture_output=True, text=True)
    if log:
        with open(log, "w") as fh:
            fh.write(r.stdout + r.stderr)
    return r.returncode == 0, r.stdout[-4000:]


def list_tests(build):
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                         capture_output=True, text=True, check=True).stdout
    tests = []
    for t in json.loads(out)["tests"]:
        cmd = t.get("command") or []
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        # Tests that run a program of the build; script checks cover no shipped line.
        if not cmd or not cmd[0].startswith(build + "/"):
            continue
        cwd = props.get("WORKING_DIRECTORY", build)
        tests.append({"name": t["name"], "command": [cmd[0].replace(build, "@BUILD@", 1)] + cmd[1:],
                      "cwd": cwd.replace(build, "@BUILD@", 1), "target": os.path.basename(cmd[0]),
                      "pass_regex": props.get("PASS_REGULAR_EXPRESSION")})
    return tests


def gcov_lines(build, gcda, root, shipped, known):
    """{relative source: set of lines run} from one .gcda file; the lines
    that have code at all are added to known."""
    r = subprocess.run(["gcov", "-j", "-t", "-p", gcda], capture_output=True, text=True, cwd=os.path.dirname(gcda))
    found = {}
    for doc in r.stdout.splitlines():
        if not doc.startswith("{"):
            continue
        d = json.loads(doc)
        cwd = d.get("current_working_directory", build)
        for f in d["files"]:
            path = os.path.relpath(os.path.normpath(os.path.join(cwd, f["file"])), root)
            if not in_scope(path, shipped):
                continue
            known.setdefault(path, set()).update(ln["line_number"] for ln in f["lines"])
            found.setdefault(path, set()).update(ln["line_number"] for ln in f["lines"] if ln["count"] > 0)
    return found


def coverage_map(args, prefix, files):
    """Which tests run each shipped line, and how long each test takes: from
    the coverage build, each test alone with fresh counts. Cached until a
    source of the tree changes."""
    with open(__file__, "rb") as fh:  # what the map holds may change with the tool
        key = tree_hash(args.root, files) + hashlib.sha256(fh.read()).hexdigest()[:16]
    cache = os.path.join(args.work, "coverage-map.json")
    if os.path.exists(cache):
        with open(cache) as fh:
            data = json.load(fh)
        if data.get("key") == key:
            return data
    build = args.coverage_build
    say("per-test coverage: building %s" % os.path.relpath(build, args.root))
    configure(args.root, build, "coverage", COVERAGE_CMAKE_ARGS)
    ok, out = ninja(build, log=os.path.join(args.work, "coverage-build.log"))
    if not ok:
        sys.exit("mutation: the coverage build failed:\n" + out)
    tests = list_tests(build)
    lines, known = {}, {}
    say("per-test coverage: %d tests, each alone" % len(tests))
    for i, t in enumerate(tests):
        for d, _, names in os.walk(build):
            for n in names:
                if n.endswith(".gcda"):
                    os.unlink(os.path.join(d, n))
        t0 = time.time()
        # Children that drop their rights cannot write counts; what they
        # would say about it must not reach the output the tests compare.
        env = dict(os.environ, GCOV_ERROR_FILE=os.path.join(args.work, "gcov-errors.log"))
        result = run_test(prefix, t, build, 300, env)
        t["seconds"] = round(time.time() - t0, 3)
        if result != "pass":
            # Judged again on the mutants' own build before it counts.
            say("%s: %s in the coverage build" % (t["name"], result))
            t["coverage_failed"] = True
        for d, _, names in os.walk(build):
            for n in names:
                if n.endswith(".gcda"):
                    for path, run in gcov_lines(build, os.path.join(d, n), args.root, args.shipped, known).items():
                        for ln in run:
                            lines.setdefault("%s:%d" % (path, ln), set()).add(i)
    data = {"key": key, "tests": tests, "lines": {k: sorted(v) for k, v in lines.items()},
            "known": {k: sorted(v) for k, v in known.items()}}
    os.makedirs(args.work, exist_ok=True)
    with open(cache, "w") as fh:
        json.dump(data, fh)
    return data


# ---------------------------------------------------------------- mutants

def compile_args(build, root, path):
    """The flags each compile of path uses (a file built twice, as the main
    flow is, yields two lists)."""
    with open(os.path.join(build, "compile_commands.json")) as fh:
        db = json.load(fh)
    full = os.path.join(root, path)
    out = []
    for e in db:
        if os.path.normpath(os.path.join(e["directory"], e["file"])) != os.path.normpath(full):
            continue
        words = e["arguments"] if "arguments" in e else e["command"].split()
        keep, skip = [], False
        for w in words[1:]:
            if skip:
                skip = False
                continue
            if w in ("-o", "-c", "-MF", "-MT", "-MQ"):
                skip = w != "-c"
                continue
            if w == e["file"] or w.startswith("--coverage") or w.startswith("-W") or w.endswith(full):
                continue
            if w.startswith("-I") and not os.path.isabs(w[2:]):
                w = "-I" + os.path.join(e["directory"], w[2:])
            keep.append(w)
        if keep not in out:
            out.append(keep)
    return out or [["-std=c++20", "-I" + root]]


def line_text(root, path, line):
    if path not in LINE_CACHE:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as fh:
            LINE_CACHE[path] = fh.read().split("\n")
    return LINE_CACHE[path][line - 1].strip()


def generate(root, path, arg_sets):
    import clang.cindex as ci
    with open(os.path.join(root, path), "rb") as fh:
        data = fh.read()
    full = os.path.normpath(os.path.join(root, path))
    found = {}

    function = [""]  # the function being walked: an equivalent may be named within it

    def add(start, end, repl, op):
        orig = data[start:end].decode()
        if orig == repl:
            return
        line = data.count(b"\n", 0, start) + 1
        found[(start, end, repl)] = {"file": path, "line": line, "start": start, "end": end,
                                     "original": orig, "mutated": repl, "operator": op, "function": function[0]}

    def own(c):
        loc = c.location
        return loc.file is not None and os.path.normpath(loc.file.name) == full

    def tokens(c):
        return [t for t in c.get_tokens() if t.location.file and os.path.normpath(t.location.file.name) == full]

    def prev_char(offset):
        i = offset - 1
        while i >= 0 and data[i:i + 1] in (b" ", b"\t"):
            i -= 1
        return data[i:i + 1]

    def op_token(c, kids):
        """The operator token between the operands of a binary expression."""
        if len(kids) != 2:
            return None
        lhs_end, rhs_start = kids[0].extent.end.offset, kids[1].extent.start.offset
        for t in tokens(c):
            o = t.extent.start.offset
            if t.kind.name == "PUNCTUATION" and lhs_end <= o < rhs_start:
                return t
        return None

    def condition_of(c, kids):
        if c.kind.name in ("IF_STMT", "WHILE_STMT", "CONDITIONAL_OPERATOR"):
            return kids[0] if kids else None
        if c.kind.name == "DO_STMT":
            return kids[1] if len(kids) > 1 else None
        if c.kind.name == "FOR_STMT":
            # The condition is what stands between the two semicolons.
            ts = tokens(c)
            semis = [t.extent.start.offset for t in ts if t.spelling == ";"][:2]
            if len(semis) < 2:
                return None
            for k in kids:
                if semis[0] < k.extent.start.offset and k.extent.end.offset <= semis[1]:
                    return k
        return None

    def strip(c):
        while c.kind.name == "UNEXPOSED_EXPR" and len(list(c.get_children())) == 1:
            c = next(c.get_children())
        return c

    def walk(c, parent, in_function, skip, fn=""):
        kind = c.kind.name
        kids = list(c.get_children())
        mine = own(c)
        if kind in ("STATIC_ASSERT", "CXX_ALIGNOF_EXPR"):
            return
        if kind == "UNARY_OPERATOR" or kind == "CXX_UNARY_EXPR":
            ts = tokens(c)
            if ts and ts[0].spelling == "sizeof":
                return
        if kind in ("FUNCTION_DECL", "CXX_METHOD", "LAMBDA_EXPR"):
            in_function = True
        if kind in ("FUNCTION_DECL", "CXX_METHOD"):
            fn = c.spelling  # a lambda's lines belong to the function around it
        if mine and not skip and (in_function or path.endswith(".cpp")):
            function[0] = fn
            mutate(c, kind, kids, parent)
        for k in kids:
            walk(k, c, in_function, skip, fn)

    def mutate(c, kind, kids, parent):
        if kind in ("BINARY_OPERATOR", "COMPOUND_ASSIGNMENT_OPERATOR"):
            t = op_token(c, kids)
            if t is None:
                return
            s, e, op = t.extent.start.offset, t.extent.end.offset, t.spelling
            for table, name in ((RELATIONAL, "relational"), (ARITHMETIC, "arithmetic"), (LOGICAL, "logical")):
                for repl in table.get(op, []):
                    add(s, e, repl, name)
        elif kind == "UNARY_OPERATOR":
            ts = tokens(c)
            if not ts:
                return
            first, last = ts[0], ts[-1]
            if first.spelling in ("++", "--"):
                add(first.extent.start.offset, first.extent.end.offset, "--" if first.spelling == "++" else "++", "arithmetic")
            elif last.spelling in ("++", "--") and c.extent.end.offset == last.extent.end.offset:
                add(last.extent.start.offset, last.extent.end.offset, "--" if last.spelling == "++" else "++", "arithmetic")
            elif first.spelling in ("!", "~") and first.extent.start.offset == c.extent.start.offset:
                add(first.extent.start.offset, first.extent.end.offset, "", "logical" if first.spelling == "!" else "arithmetic")
            elif first.spelling == "-" and first.extent.start.offset == c.extent.start.offset:
                add(first.extent.start.offset, first.extent.end.offset, "", "constant" if kids and strip(kids[0]).kind.name == "INTEGER_LITERAL" else "arithmetic")
        elif kind == "INTEGER_LITERAL":
            ts = tokens(c)
            if len(ts) != 1 or prev_char(ts[0].extent.start.offset) == b"[":
                return  # an array's size, or a literal a macro makes
            text = ts[0].spelling
            m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)", text)
            if not m:
                return
            digits = m.group(1)
            hexa = digits[:2].lower() == "0x"
            octal = not hexa and len(digits) > 1 and digits[0] == "0"
            value = int(digits, 16 if hexa else 8 if octal else 10)
            negated = prev_char(ts[0].extent.start.offset) == b"-"
            s, e = ts[0].extent.start.offset, ts[0].extent.end.offset
            # The neighbours on both sides; 0 only where it is one of them.
            for v in sorted({value + 1, value - 1}):
                if v < 0 or (v == 0 and negated):
                    continue
                shown = ("0x%X" % v) if hexa else ("0%o" % v) if octal else str(v)
                add(s, e, shown + m.group(2), "constant")
        elif kind == "CHARACTER_LITERAL":
            ts = tokens(c)
            if len(ts) == 1:
                for d in ("+ 1", "- 1"):
                    add(ts[0].extent.start.offset, ts[0].extent.end.offset, "(%s %s)" % (ts[0].spelling, d), "constant")
        elif kind == "CXX_BOOL_LITERAL_EXPR":
            ts = tokens(c)
            if len(ts) == 1:
                add(ts[0].extent.start.offset, ts[0].extent.end.offset, "false" if ts[0].spelling == "true" else "true", "constant")
        elif kind == "RETURN_STMT" and kids:
            # The failing path's value turned into success.
            v = strip(kids[0])
            ts = tokens(v)
            if v.kind.name == "UNARY_OPERATOR" and [t.spelling for t in ts][:1] == ["-"] and len(ts) == 2:
                add(v.extent.start.offset, v.extent.end.offset, "0", "return")
        elif kind == "CALL_EXPR" and parent is not None and parent.kind.name in (
                "COMPOUND_STMT", "IF_STMT", "FOR_STMT", "WHILE_STMT", "DO_STMT"):
            if parent.kind.name != "COMPOUND_STMT":
                cond = condition_of(parent, list(parent.get_children()))  # None: a for (;;) has none
                if cond is not None and cond == c:
                    return
            ts = tokens(c)
            if ts and ts[-1].spelling == ")" and c.extent.start.offset == ts[0].extent.start.offset:
                add(c.extent.start.offset, c.extent.end.offset, "(void)0", "call")
        if kind in ("IF_STMT", "WHILE_STMT", "FOR_STMT", "DO_STMT", "CONDITIONAL_OPERATOR"):
            cond = condition_of(c, kids)
            if cond is None or not tokens(cond):
                return
            core = strip(cond)
            # A relational or a negated condition is negated by its own operators already.
            if core.kind.name == "BINARY_OPERATOR":
                t = op_token(core, list(core.get_children()))
                if t is not None and t.spelling in RELATIONAL:
                    return
            if core.kind.name == "UNARY_OPERATOR" and tokens(core)[0].spelling == "!":
                return
            s, e = cond.extent.start.offset, cond.extent.end.offset
            add(s, e, "!(" + data[s:e].decode() + ")", "negation")

    index = ci.Index.create()
    for a in arg_sets:
        tu = index.parse(full, args=a + ["-x", "c++"])
        for k in tu.cursor.get_children():
            if own(k):
                walk(k, None, False, False)
    out = sorted(found.values(), key=lambda m: (m["start"], m["end"], m["mutated"]))
    for m in out:
        m["id"] = "%s:%d:%d:%s" % (m["file"], m["line"], m["start"], m["mutated"])
        m["text"] = line_text(root, path, m["line"])
    # The same change at several places of one line is told apart by its
    # place: "#2" is the second from the left.
    same = {}
    for m in out:
        same.setdefault((m["line"], m["original"], m["mutated"]), []).append(m)
    for ms in same.values():
        if len(ms) > 1:
            for n, m in enumerate(ms, 1):
                m["nth"] = n
    return out


def read_equivalents(path):
    """Lines "file | line text | original -> mutated | reason"; the file may
    be "file:function", for a line whose text other functions share."""
    eq = {}
    if not path or not os.path.exists(path):
        return eq
    with open(path, encoding="utf-8") as fh:
        for raw in fh:
            if not raw.strip() or raw.lstrip().startswith("#"):
                continue
            # The line's own text may hold " | " too, and so may a change to
            # "|": the file comes first, the reason last, and the change is
            # what follows the " | " before the last " -> ".
            line = raw.strip()
            rest, _, reason = line.rpartition(" | ")
            arrow = rest.rfind(" -> ")
            first, change = rest.find(" | "), rest.rfind(" | ", 0, arrow)
            if arrow < 0 or first < 0 or change <= first:
                sys.exit("mutation: %s: not \"file | line text | original -> mutated | reason\": %s" % (path, line))
            eq[(rest[:first], rest[first + 3:change].strip(), rest[change + 3:arrow], rest[arrow + 4:])] = reason.strip()
    return eq


def equivalent_key(m, scoped=False):
    where = "%s:%s" % (m["file"], m.get("function", "")) if scoped else m["file"]
    return (where, m["text"], m["original"] or "''", m["mutated"] or "''")


def shown_where(m):
    """file:function, the narrowest name the equivalents list takes."""
    return "%s:%s" % (m["file"], m["function"]) if m.get("function") else m["file"]


def shown_change(m):
    """original -> mutated as the report and the equivalents list write it."""
    return "%s -> %s%s" % (m["original"] or "''", m["mutated"] or "''", " #%d" % m["nth"] if m.get("nth") else "")


def equivalent_reason(equivalents, m):
    """A line of the list names the change at one place of its line ("#n")
    or, without a place, at every place; in one function, or in the file."""
    for key in ((equivalent_key(m, True),) if m.get("function") else ()) + (equivalent_key(m),):
        if m.get("nth"):
            placed = equivalents.get(key[:3] + (key[3] + " #%d" % m["nth"],))
            if placed:
                return placed
        if key in equivalents:
            return equivalents[key]
    return None


def carry_verdicts(path, mutants):
    """A mutant killed (or stillborn) in an earlier run keeps its verdict: new
    tests only add kills. The survivors, and mutants of lines new since, run."""
    with open(path, encoding="utf-8") as fh:
        before = {(m["file"], m.get("function", ""), m["text"], shown_change(m)): m for m in json.load(fh)["mutants"]}
    carried = 0
    for m in mutants:
        # Results written before mutants named their function have none.
        old = (before.get((m["file"], m.get("function", ""), m["text"], shown_change(m))) or
               before.get((m["file"], "", m["text"], shown_change(m))))
        if old and old["status"] in ("killed", "stillborn"):
            m["status"], m["by"], m["note"] = old["status"], old.get("by"), "in %s" % os.path.basename(path)
            carried += 1
    return carried


def changed_lines(root, base, shipped):
    """{file: set of lines} added or changed since base (the working tree included)."""
    out = subprocess.run(["git", "-C", root, "diff", "-U0", base, "--", *shipped],
                         capture_output=True, text=True, check=True).stdout
    lines, current = {}, None
    for ln in out.splitlines():
        if ln.startswith("+++ "):
            current = ln[6:] if ln.startswith("+++ b/") else None
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", ln)
        if m and current:
            start, count = int(m.group(1)), int(m.group(2) or 1)
            lines.setdefault(current, set()).update(range(start, start + count))
    # A file git does not track yet is new since base from its first line to its last.
    new = subprocess.run(["git", "-C", root, "ls-files", "-o", "--exclude-standard", "--", *shipped],
                         capture_output=True, text=True, check=True).stdout
    for f in new.splitlines():
        with open(os.path.join(root, f), "rb") as fh:
            lines[f] = set(range(1, fh.read().count(b"\n") + 2))
    return lines


# ---------------------------------------------------------------- workers

class Worker:
    def __init__(self, n, args, files, cov, prefix, deadline):
        self.n, self.args, self.prefix, self.deadline = n, args, prefix, deadline
        self.tests, self.lines = cov["tests"], cov["lines"]
        self.known = {f: set(v) for f, v in cov["known"].items()}
        self.file_tests = {}
        for key, ts in self.lines.items():
            self.file_tests.setdefault(key.rsplit(":", 1)[0], set()).update(ts)
        self.src = os.path.join(args.work, "w%d" % n, "src")
        self.build = os.path.join(args.work, "w%d" % n, "build")
        self.files = files

    def tests_of_file(self, path):
        return [self.tests[i] for i in sorted(self.file_tests.get(path, ()))]

    def prepare(self):
        sync_copy(self.args.root, self.files, self.src)
        configure(self.src, self.build, "host", MUTANT_CMAKE_ARGS)
        # Both cores are shared among the workers.
        self.jobs = max(1, (os.cpu_count() or 2) // self.args.jobs)
        ok, out = ninja(self.build, sorted({t["target"] for t in self.tests}), jobs=self.jobs)
        if not ok:
            sys.exit("mutation: the unchanged tree does not build in %s:\n%s" % (self.build, out))
        for t in self.tests:
            if t.get("coverage_failed") and not t.get("checked"):
                t["checked"] = True
                if run_test(self.prefix, t, self.build, 300) != "pass":
                    sys.exit("mutation: %s does not pass on the unchanged code" % t["name"])

    def run(self, work, results, lock):
        while True:
            try:
                path, mutants = work.get_nowait()
            except queue.Empty:
                return
            target = os.path.join(self.src, path)
            with open(os.path.join(self.args.root, path), "rb") as fh:
                original = fh.read()
            try:
                for m in mutants:
                    if time.time() > self.deadline:
                        m["status"] = "not run"
                    else:
                        self.one(m, original, target)
                    with lock:
                        results.append(m)
                        done = len(results)
                    if self.args.verbose or m["status"] in ("survived",):
                        say("[%d] %s:%d %s -> %s: %s" % (done, m["file"], m["line"], m["original"] or "''",
                                                         m["mutated"] or "''", m["status"]))
            finally:
                with open(target, "wb") as fh:
                    fh.write(original)

    def one(self, m, original, target):
        t0 = time.time()
        run_here = self.lines.get("%s:%d" % (m["file"], m["line"]), [])
        covering = run_here
        if not covering and m["line"] not in self.known.get(m["file"], ()):
            # A line without code of its own (a constant, a member's initial
            # value, a declaration): every test that runs the file judges it.
            covering = sorted(self.file_tests.get(m["file"], ()))
        with open(target, "wb") as fh:
            fh.write(original[:m["start"]] + m["mutated"].encode() + original[m["end"]:])
        # Per-test coverage misses what runs in a child killed by a signal or
        # one that gave up its rights (it writes no counts): before a survivor
        # is reported, the other tests that run its file have their say.
        first = sorted((self.tests[i] for i in covering), key=lambda t: t["seconds"])
        rest = sorted((t for i, t in enumerate(self.tests) if i in self.file_tests.get(m["file"], ()) and i not in covering),
                      key=lambda t: t["seconds"])
        m["status"] = "survived"
        built = set()
        if not first and not rest:
            if not ninja(self.build, ["all"], jobs=self.jobs)[0]:
                m["status"], m["note"] = "stillborn", "does not build"
        for n, t in enumerate(first + rest):
            if t["target"] not in built:
                # Each test program is linked only when its turn comes: most
                # mutants fall to the first, quickest test.
                built.add(t["target"])
                if not ninja(self.build, [t["target"]], jobs=self.jobs)[0]:
                    m["status"], m["note"] = "stillborn", "does not build"
                    break
            limit = self.args.test_timeout + 4 * t["seconds"]
            r = run_test(self.prefix, t, self.build, limit)
            if r == "timeout":
                m["status"], m["by"], m["note"] = "killed", t["name"], "timeout"
                break
            if r == "fail":
                # Confirmed only if it fails again when run alone.
                if run_test(self.prefix, t, self.build, limit) != "pass":
                    m["status"], m["by"] = "killed", t["name"]
                    if n >= len(first):
                        m["note"] = "by a test whose counts miss the line"
                    break
                m["note"] = "flaky: %s failed once, then passed" % t["name"]
        if m["status"] == "survived" and not run_here and not m.get("note"):
            m["note"] = "no test runs this line"
        m["seconds"] = round(time.time() - t0, 2)


# ---------------------------------------------------------------- reports

def report(args, results, equivalents, elapsed, total_generated):
    per_file = {}
    for m in results:
        f = per_file.setdefault(m["file"], {"mutants": 0, "killed": 0, "survived": 0, "equivalent": 0,
                                            "stillborn": 0, "not run": 0})
        f["mutants"] += 1
        f[m["status"]] += 1
    lines = ["%-24s %7s %7s %8s %10s %9s %7s" % ("file", "mutants", "killed", "survived", "equivalent", "stillborn", "score")]
    tot = {"mutants": 0, "killed": 0, "survived": 0, "equivalent": 0, "stillborn": 0, "not run": 0}

    def score(f):
        judged = f["killed"] + f["survived"]
        return "    -" if judged == 0 else "%5.1f%%" % (100.0 * f["killed"] / judged)
    for path in sorted(per_file):
        f = per_file[path]
        for k in tot:
            tot[k] += f[k]
        lines.append("%-24s %7d %7d %8d %10d %9d %7s" % (path, f["mutants"], f["killed"], f["survived"],
                                                         f["equivalent"], f["stillborn"], score(f)))
    lines.append("%-24s %7d %7d %8d %10d %9d %7s" % ("total", tot["mutants"], tot["killed"], tot["survived"],
                                                     tot["equivalent"], tot["stillborn"], score(tot)))
    survivors = [m for m in results if m["status"] == "survived"]
    if survivors:
        lines.append("")
        lines.append("survivors (to list one as equivalent: file[:function] | line text | original -> mutated | reason):")
        for m in sorted(survivors, key=lambda m: (m["file"], m["line"], m["start"])):
            lines.append("  %s:%d  %s -> %s  [%s]%s" % (m["file"], m["line"], m["original"] or "''", m["mutated"] or "''",
                                                       m["operator"], "  (" + m["note"] + ")" if m.get("note") else ""))
            lines.append("      %s | %s | %s |" % (shown_where(m), m["text"], shown_change(m)))
    if tot["not run"]:
        lines.append("")
        lines.append("%d mutants not run: --max-seconds reached" % tot["not run"])
    lines.append("")
    lines.append("%d mutants, %d killed, %d survived, %d equivalent, %d stillborn; score %s of the non-equivalent; %d s"
                 % (tot["mutants"], tot["killed"], tot["survived"], tot["equivalent"], tot["stillborn"],
                    score(tot).strip(), elapsed))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(args.work, "report.txt"), "w") as fh:
        fh.write(text)
    with open(os.path.join(args.work, "results.json"), "w") as fh:
        json.dump({"seconds": elapsed, "per_file": per_file, "total": tot, "mutants": results}, fh, indent=1)
    rows = "".join("<tr class=%s><td>%s:%d</td><td>%s</td><td><code>%s</code> &rarr; <code>%s</code></td><td>%s</td><td><code>%s</code></td></tr>\n"
                   % (m["status"].replace(" ", "-"), html.escape(m["file"]), m["line"], m["status"],
                      html.escape(m["original"]), html.escape(m["mutated"]), html.escape(m.get("by") or m.get("note") or ""),
                      html.escape(m["text"]))
                   for m in sorted(results, key=lambda m: (m["status"] != "survived", m["file"], m["line"])))
    with open(os.path.join(args.work, "report.html"), "w") as fh:
        fh.write("<!doctype html><meta charset=utf-8><title>mutation report</title><style>"
                 "body{font:13px sans-serif}td{padding:1px 6px}.survived{background:#fcc}.killed{background:#efe}"
                 ".equivalent{background:#eee}</style><pre>%s</pre><table>%s</table>" % (html.escape(text), rows))
    return text, tot


def main():
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    p = argparse.ArgumentParser(prog="scripts/mutation",
                                description="Mutation testing of the shipped code, the recording programs and the replay.")
    p.add_argument("--diff", metavar="BASE", help="only the mutants on lines changed since BASE (git)")
    p.add_argument("--file", action="append", default=[], help="only this source file (repeatable)")
    p.add_argument("--max-seconds", type=float, default=0, help="stop starting mutants after this many seconds")
    p.add_argument("--jobs", type=int, default=2, help="parallel workers, each with its own copy of the tree")
    p.add_argument("--again", metavar="RESULTS",
                   help="only what survived in this results.json (and new lines); its kills are carried over")
    p.add_argument("--list", action="store_true", help="only list the mutants")
    p.add_argument("--verbose", action="store_true", help="a line for every mutant")
    p.add_argument("--root", default=here, help=argparse.SUPPRESS)
    p.add_argument("--shipped", default=",".join(SHIPPED), help=argparse.SUPPRESS)
    p.add_argument("--work", help=argparse.SUPPRESS)
    p.add_argument("--coverage-build", help=argparse.SUPPRESS)
    p.add_argument("--equivalents", help=argparse.SUPPRESS)
    p.add_argument("--test-timeout", type=float, default=10, help=argparse.SUPPRESS)
    args = p.parse_args()
    started = time.time()
    args.root = os.path.abspath(args.root)
    args.shipped = args.shipped.split(",")
    args.work = os.path.abspath(args.work or os.path.join(args.root, "build", "mutation"))
    args.coverage_build = os.path.abspath(args.coverage_build or os.path.join(args.root, "build", "coverage"))
    args.equivalents = args.equivalents or os.path.join(args.root, "tests", "mutation_equivalents.txt")
    os.makedirs(args.work, exist_ok=True)

    files = source_files(args.root)
    prefix = namespace_prefix()
    cov = coverage_map(args, prefix, files)

    targets = sorted(f for f in files if in_scope(f, args.shipped) and f.endswith(".cpp"))
    if args.file:
        wanted = {os.path.normpath(f) for f in args.file}
        targets = [f for f in targets if f in wanted]
        if not targets:
            sys.exit("mutation: no source in scope among %s" % ", ".join(args.file))
    only = changed_lines(args.root, args.diff, args.shipped) if args.diff else None
    mutants = []
    for path in targets:
        if only is not None and path not in only:
            continue
        ms = generate(args.root, path, compile_args(args.coverage_build, args.root, path))
        if only is not None:
            ms = [m for m in ms if m["line"] in only[path]]
        mutants += ms
    if args.list:
        for m in mutants:
            print("%s:%d  %s -> %s  [%s]" % (m["file"], m["line"], m["original"], m["mutated"], m["operator"]))
        return 0

    equivalents = read_equivalents(args.equivalents)
    carried = carry_verdicts(args.again, mutants) if args.again else 0
    by_file = {}
    for m in mutants:
        reason = equivalent_reason(equivalents, m)
        if reason:
            m["status"], m["note"] = "equivalent", reason
        elif not m.get("status"):
            by_file.setdefault(m["file"], []).append(m)
    results = [m for m in mutants if m.get("status")]
    say("%d mutants in %d files (%d listed as equivalent%s), %d workers"
        % (len(mutants), len(targets), sum(m["status"] == "equivalent" for m in results),
           ", %d killed or stillborn before" % carried if args.again else "", args.jobs))

    deadline = started + args.max_seconds if args.max_seconds else float("inf")
    # Each file in one piece per worker, biggest first: a worker's copy then
    # recompiles a file only when a piece of it starts and ends.
    work = queue.Queue()
    pieces = []
    for path, ms in by_file.items():
        size = -(-len(ms) // max(1, args.jobs))
        pieces += [(path, ms[i:i + size]) for i in range(0, len(ms), size)]
    for piece in sorted(pieces, key=lambda p: -len(p[1])):
        work.put(piece)
    workers = [Worker(n, args, files, cov, prefix, deadline) for n in range(max(1, args.jobs))]
    failures = []

    def prepare(w):
        try:
            w.prepare()
        except SystemExit as e:  # a thread's exit would end only the thread
            failures.append(str(e.code))
    threads = [threading.Thread(target=prepare, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        sys.exit(failures[0])
    lock = threading.Lock()
    threads = [threading.Thread(target=w.run, args=(work, results, lock)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    text, tot = report(args, results, equivalents, round(time.time() - started), len(mutants))
    print(text, end="")
    print("mutation: report in %s" % os.path.relpath(os.path.join(args.work, "report.html"), os.getcwd()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
