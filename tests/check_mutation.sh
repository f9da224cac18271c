#!/usr/bin/env bash
# The mutation tool's self-check, on a tiny fixture with planted faults: the
# sum's "+" turned "-" must be killed, the loop's "+=" turned "-=" killed by
# the time limit, the untested edge ">=" turned ">" reported as a survivor,
# and the clamp's ">" turned ">=" counted as the equivalent its file lists,
# so the tool cannot quietly score everything as killed. Of the clamp's two
# "100" turned "99", only the first, which its file lists as "#1", is an
# equivalent; the second is killed. Of the same "return -1;" in two
# functions, only fx_low's, which the file lists by its function, is an
# equivalent. Run again with --again, only the
# survivors run and every kill stands.
#
#   tests/check_mutation.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=${1:?usage: check_mutation.sh SOURCE_DIR WORK_DIR}
work=${2:?usage: check_mutation.sh SOURCE_DIR WORK_DIR}
fixture=$src/tests/mutation-fixture

status=0
/usr/bin/python3 "$src/scripts/lib/mutation.py" --root "$fixture" --shipped fx --work "$work" \
    --coverage-build "$work/coverage" --equivalents "$fixture/equivalents.txt" --jobs 1 --test-timeout 2 \
    >"$work.log" 2>&1 || status=$?
if [ "$status" = 3 ] && grep -q "no private namespaces here" "$work.log"; then
    tail -n 1 "$work.log"
    exit 77  # skipped: the tool runs mutants only where each test has namespaces of its own
fi
[ "$status" = 0 ] || { cat "$work.log"; echo "check_mutation: the tool failed"; exit 1; }

/usr/bin/python3 - "$work/results.json" "$work/report.txt" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["mutants"]
report = open(sys.argv[2]).read()
def status(line_start, original, mutated, nth=None, function=None):
    found = [m for m in results if m["text"].startswith(line_start) and m["original"] == original and m["mutated"] == mutated
             and m.get("nth") == nth and function in (None, m.get("function"))]
    assert len(found) == 1, "%d mutants %s -> %s on %r" % (len(found), original, mutated, line_start)
    return found[0]["status"], found[0].get("note", "")
wrong = []
for line, o, m, nth, function, want, note in [
        ("int fx_sum", "+", "-", None, None, "killed", ""),
        ("k += 1", "+=", "-=", None, None, "killed", "timeout"),
        ("bool fx_adult", ">=", ">", None, None, "survived", ""),
        ("int fx_clamp", ">", ">=", None, None, "equivalent", "at 100 both ways give 100"),
        ("int fx_clamp", "100", "99", 1, None, "equivalent", ""),
        ("int fx_clamp", "100", "99", 2, None, "killed", ""),
        ("bool fx_adult", ">=", "<", None, None, "killed", ""),
        ("return -1;", "1", "2", None, "fx_low", "equivalent", "its callers ask only whether it is below 0"),
        ("return -1;", "1", "2", None, "fx_sign", "killed", "")]:
    got = status(line, o, m, nth, function)
    if got[0] != want or (note and got[1] != note):
        wrong.append("%s: %s -> %s is %s (%s), not %s %s" % (line, o, m, got[0], got[1], want, note))
if "fx/fx.cpp:6  >= -> >  [relational]" not in report:
    wrong.append("the report does not list the survivor fx/fx.cpp:6 >= -> >")
if wrong:
    print(report)
    sys.exit("check_mutation: " + "; ".join(wrong))
print("check_mutation: %d mutants, the planted ones judged right" % len(results))
PY

# Again: only the survivor runs; every kill of the first run stands.
cp "$work/results.json" "$work.first.json"
/usr/bin/python3 "$src/scripts/lib/mutation.py" --root "$fixture" --shipped fx --work "$work" \
    --coverage-build "$work/coverage" --equivalents "$fixture/equivalents.txt" --jobs 1 --test-timeout 2 \
    --again "$work.first.json" --verbose >"$work.again.log" 2>&1 || { cat "$work.again.log"; exit 1; }
/usr/bin/python3 - "$work.first.json" "$work/results.json" "$work.again.log" <<'PY'
import json, sys
first, again = (json.load(open(p))["mutants"] for p in sys.argv[1:3])
ran = [l for l in open(sys.argv[3]) if l.startswith("mutation: [")]
key = lambda m: (m.get("function"), m["text"], m["original"], m["mutated"], m.get("nth"))
same = {key(m): m["status"] for m in first} == {key(m): m["status"] for m in again}
survivors = sum(m["status"] == "survived" for m in first)
if not same or len(ran) != survivors:
    sys.exit("check_mutation: --again ran %d mutants for %d survivors, verdicts %s" % (len(ran), survivors, "kept" if same else "changed"))
print("check_mutation: --again ran the %d survivor(s) only" % survivors)
PY
